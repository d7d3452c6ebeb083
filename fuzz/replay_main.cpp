// Replay mode of a fuzz harness for builds without libFuzzer: runs the harness
// once over every file named on the command line, or over every file of each
// directory named there. Fails when no input was found, so a lost corpus shows.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static int replay(const std::filesystem::path &path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return 0;
}

int main(int argc, char **argv)
{
    LLVMFuzzerInitialize(&argc, &argv);
    size_t inputs = 0;
    int failed = 0;
    for (int i = 1; i < argc; ++i) {
        std::error_code error;
        if (!std::filesystem::is_directory(argv[i], error)) {
            failed |= replay(argv[i]);
            ++inputs;
            continue;
        }
        for (const auto &entry : std::filesystem::directory_iterator(argv[i])) {
            if (!entry.is_regular_file())
                continue;
            failed |= replay(entry.path());
            ++inputs;
        }
    }
    std::fprintf(stderr, "replayed %zu inputs\n", inputs);
    return failed || inputs == 0;
}
