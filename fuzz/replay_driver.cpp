// Runs the fuzz target over saved inputs without libFuzzer: each argument is a
// file, or a folder whose regular files are all run. Built with any compiler,
// so the saved corpus is replayed in every build.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool RunFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
        return false;
    }
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    namespace fs = std::filesystem;
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE-OR-FOLDER...\n", argv[0]);
        return 2;
    }
    size_t ran = 0;
    bool ok = true;
    for (int a = 1; a < argc; ++a) {
        const fs::path arg = argv[a];
        std::error_code ec;
        if (fs::is_directory(arg, ec)) {
            std::vector<fs::path> files;
            for (const auto& e : fs::directory_iterator(arg, ec)) {
                if (e.is_regular_file()) files.push_back(e.path());
            }
            if (ec) {
                std::fprintf(stderr, "replay: cannot list %s: %s\n", arg.c_str(), ec.message().c_str());
                ok = false;
            }
            // A fixed order, so that the state carried between inputs is the same every run.
            std::sort(files.begin(), files.end());
            for (const auto& f : files) {
                ok = RunFile(f) && ok;
                ++ran;
            }
        } else {
            ok = RunFile(arg) && ok;
            ++ran;
        }
    }
    std::printf("replay: %zu inputs run\n", ran);
    // An empty corpus replays nothing and proves nothing.
    return ok && ran > 0 ? 0 : 1;
}
