// A project file for process-level tests with one Tesira-hosted amplifier: the block
// `tag` of the server at `server` associated as frame 1 named "Hall left", with channels
// 1..4 named "1".."4". `channel_xml` adds elements to channel k (1..4).
//
// Thread safety: a pure function.
#pragma once

#include <map>
#include <string>

namespace orva_test {

inline std::string tesira_block_project(const std::string& server, const std::string& tag = "AmpA",
                                        const std::map<int, std::string>& channel_xml = {}) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<configuration><frames><frame><id>1</id>"
                      "<frame_type>tesira</frame_type><name>Hall left</name><device_id>" + tag + "</device_id>"
                      "<server_address>" + server + "</server_address><channels>1 2 3 4</channels></frame></frames>"
                      "<channels>";
    for (int k = 1; k <= 4; ++k) {
        const auto extra = channel_xml.find(k);
        xml += "<channel><id>" + std::to_string(k) + "</id><frame_id>1</frame_id><frame_type>tesira</frame_type>"
               "<device_id>" + tag + "</device_id><name>" + std::to_string(k) + "</name>" +
               (extra == channel_xml.end() ? std::string() : extra->second) + "</channel>";
    }
    return xml + "</channels></configuration>";
}

}  // namespace orva_test
