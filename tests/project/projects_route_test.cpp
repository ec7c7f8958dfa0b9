// The REST resources of the saved projects: the list and one project's text.
#include "backend/api/rest_api.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

class ProjectsRoute : public ::testing::Test {
protected:
    ProjectsRoute() {
        store_.register_default_collections();
        std::filesystem::create_directories(folder_ / "Orva");
        std::ofstream(folder_ / "secret.xml") << "outside";
    }
    ~ProjectsRoute() override { std::filesystem::remove_all(folder_); }

    nox::http_reply call(const std::string& method, const std::string& uri) {
        nox::http_request r;
        r.method = method;
        r.uri = uri;
        r.read_body = [] { return std::string(); };
        return api_.handle(r);
    }
    static std::string body_of(const nox::http_reply& reply) {
        return reply.raw.substr(reply.raw.find("\r\n\r\n") + 4);
    }
    static int status_of(const nox::http_reply& reply) { return std::stoi(reply.raw.substr(9, 3)); }

    struct quiet_notifier : nox::change_notifier {
        void broadcast(const std::string&) override {}
        std::string build_notification(const std::string&, const nox::model&,
                                       const std::vector<std::string>&) override { return {}; }
    };

    std::filesystem::path folder_ =
        std::filesystem::temp_directory_path() / ("orva-projects-route-" + std::to_string(::getpid()));
    nox::project_store store_;
    quiet_notifier notifier_;
    nox::request_engine engine_{store_, notifier_};
    nox::websocket_hub hub_;
    nox::notifier subscriptions_{hub_};
    nox::rest_api api_{store_, engine_, subscriptions_, {"1", "", (folder_ / "Orva").string()}};
};

TEST_F(ProjectsRoute, ListsAndReadsSavedProjects) {
    EXPECT_EQ(body_of(call("GET", "/api/projects")), "[]");
    std::ofstream(folder_ / "Orva" / "Hall \"A\".xml")
        << "<configuration><settings><setting><id>1</id><project>Hall</project></setting></settings></configuration>";
    const auto list = call("GET", "/api/projects/");
    EXPECT_EQ(status_of(list), 200);
    const std::string body = body_of(list);
    EXPECT_EQ(body.rfind("[{\"filename\":\"Hall \\\"A\\\".xml\",\"project\":\"Hall\",\"size\":\"", 0), 0u) << body;
    EXPECT_NE(body.find("\",\"modified\":\""), std::string::npos) << body;

    const auto file = call("GET", "/api/projects/Hall \"A\".xml");
    EXPECT_EQ(status_of(file), 200);
    EXPECT_NE(file.raw.find("Content-Type: application/xml"), std::string::npos);
    EXPECT_NE(body_of(file).find("<project>Hall</project>"), std::string::npos);
}

TEST_F(ProjectsRoute, RefusesWhatIsNotAPlainNameAndOtherMethods) {
    EXPECT_EQ(status_of(call("GET", "/api/projects/../secret.xml")), 400);
    EXPECT_EQ(status_of(call("GET", "/api/projects/sub/x.xml")), 400);
    EXPECT_EQ(status_of(call("GET", "/api/projects/.hidden")), 400);
    EXPECT_EQ(status_of(call("GET", "/api/projects/none.xml")), 404);
    EXPECT_EQ(status_of(call("POST", "/api/projects")), 400);
    EXPECT_EQ(status_of(call("DELETE", "/api/projects/none.xml")), 400);
    // Other names under /api are not this resource.
    EXPECT_FALSE(call("GET", "/api/projectsx").handled);
}

}  // namespace
