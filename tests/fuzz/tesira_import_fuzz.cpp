// Tesira configuration files as `import_tesira` reads them (`nox::read_tesira_blocks`):
// the amplifier blocks, each with an instance tag, a proxy IPv4 address and a name, or
// `nox::tesira_import_error` naming the fault; nothing else may escape. Every block that
// is taken must be storable in the project as it is: text the project file can carry,
// and an instance tag without line breaks (it goes into telnet command lines).
//
// No round trip: what the backend writes for Tesira (the export document) is another
// format, which the import does not read.
#include "backend/model/model.h"
#include "backend/tesira/tesira_project.h"
#include "common/log/log.h"
#include "tests/fuzz/fuzz_check.h"

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // No log file: each line would cost an open, a write and a close.
    nox::log::instance().set_log_path("");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<nox::tesira_block> blocks;
    try {
        blocks = nox::read_tesira_blocks(text);
    } catch (const nox::tesira_import_error&) {
        return 0;
    }
    FUZZ_CHECK(blocks.size() <= nox::tesira_import_max_blocks);
    for (const auto& block : blocks) {
        FUZZ_CHECK(!block.instance_tag.empty() && !block.amp_name.empty());
        FUZZ_CHECK(nox::valid_attribute_value(block.instance_tag) && nox::valid_attribute_value(block.amp_name));
        FUZZ_CHECK(block.instance_tag.find_first_of(std::string("\r\n\0", 3)) == std::string::npos);
        in_addr address{};
        FUZZ_CHECK(::inet_pton(AF_INET, block.proxy_address.c_str(), &address) == 1);
    }
    return 0;
}
