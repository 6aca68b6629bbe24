// Runs a fuzz target once on each input named on the command line (files, or
// directories whose files are all taken), for builds without libFuzzer: the
// seeds stay a regression test with any compiler and any sanitizer.
// Arguments starting with '-' are libFuzzer's flags and are passed over.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace {

bool runFile(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.string().c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A copy of exactly the input's size, so reading past it is caught.
    std::vector<uint8_t> data(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(data.data(), data.size());
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    int runs = 0;
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-')
            continue;
        const std::filesystem::path arg(argv[i]);
        std::error_code error;
        if (std::filesystem::is_directory(arg, error)) {
            for (const auto &entry : std::filesystem::directory_iterator(arg, error)) {
                if (!entry.is_regular_file())
                    continue;
                if (!runFile(entry.path()))
                    return 1;
                ++runs;
            }
        } else if (!runFile(arg)) {
            return 1;
        } else {
            ++runs;
        }
        if (error) {
            std::fprintf(stderr, "cannot list %s: %s\n", argv[i], error.message().c_str());
            return 1;
        }
    }
    std::printf("replayed %d inputs\n", runs);
    // No input at all means a missing corpus, not a pass.
    return runs > 0 ? 0 : 1;
}
