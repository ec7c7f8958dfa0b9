// The driver of the fuzz targets in builds without libFuzzer: runs the target once on
// every file named on the command line, or on every file inside the folders named there.
// The corpus replay tests use it, so the seed corpora (and every input kept there after a
// fix) are checked by the ordinary test run.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

bool run_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    int files = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        if (std::filesystem::is_directory(path)) {
            std::vector<std::filesystem::path> entries;
            for (const auto& entry : std::filesystem::directory_iterator(path))
                if (entry.is_regular_file()) entries.push_back(entry.path());
            std::sort(entries.begin(), entries.end());
            for (const auto& entry : entries) {
                ok = run_file(entry) && ok;
                ++files;
            }
        } else {
            ok = run_file(path) && ok;
            ++files;
        }
    }
    std::printf("%d inputs replayed\n", files);
    return ok && files > 0 ? 0 : 1;
}
