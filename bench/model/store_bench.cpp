// Save and load of a large project: 500 frames and 2,000 channels with about 40
// attributes each. Prints the median of several runs of each, and the file size.
//
//   build/bench/store_bench [runs [copy-of-the-project-file]]
#include "backend/model/project_store.h"
#include "bench/model/large_project.h"
#include "common/platform/platform.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::atoi(argv[1]) : 9;
    char pattern[] = "/tmp/orva_store_bench.XXXXXX";
    std::string folder = ::mkdtemp(pattern);
    std::string path = folder + "/configuration_orva.xml";

    nox::project_store store;
    store.register_default_collections();
    store.set_paths(path, folder + "/none.xml");
    orva_bench::fill_large_project(store);

    std::vector<double> save_ms, load_ms;
    for (int i = 0; i < runs; ++i) {
        auto t0 = clock_type::now();
        if (!store.save_locked()) return 1;
        auto t1 = clock_type::now();
        save_ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    nox::project_store loaded;
    loaded.register_default_collections();
    loaded.set_paths(path, folder + "/none.xml");
    for (int i = 0; i < runs; ++i) {
        auto t0 = clock_type::now();
        {
            nox::lock_guard lock(loaded.model_mutex());
            loaded.load(false, false);
        }
        auto t1 = clock_type::now();
        load_ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    auto size = nox::platform::read_file(path).value_or("").size();
    std::printf("project: %zu frames, %zu channels, file %.1f KiB\n",
                loaded.collection("frames").size_locked(),
                loaded.collection("channels").size_locked(), size / 1024.0);
    std::printf("save (serialise + fsync + rename): median %.1f ms over %d runs\n", median(save_ms), runs);
    std::printf("load (parse + check + replace):    median %.1f ms over %d runs\n", median(load_ms), runs);
    if (argc > 2) nox::platform::copy_file(path, argv[2]);
    std::system(("rm -rf " + folder).c_str());
    return 0;
}
