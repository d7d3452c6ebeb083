// Benchmark driver for imaging: runs one image job with a `disk` section (or, with
// "remote", a `vantrel` section naming a subject agent's target) through the job
// engine and prints its wall time, throughput and peak resident memory as one line
// of key=value pairs for bench/local_imaging.sh and bench/remote_imaging.sh.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "vt_img.h"
#include "vt_json.h"
#include "vt_pwd.h"
#include "vt_read_state.h"
#include "vt_syslog.h"
#include "vt_thread.h"

namespace {

int usage()
{
    std::fprintf(stderr, "usage: vt_bench_img DEVICE IMAGE_DIR IMAGE_NAME [READ_SIZE] [-v]\n"
                         "       vt_bench_img remote SUBJECT TARGET USER PASSWORD_FILE IMAGE_DIR "
                         "IMAGE_NAME [READ_SIZE] [-v]\n"
                         "       vt_bench_img sample PATH MIB\n");
    return 2;
}

// xorshift64*: a fixed seed makes every sample byte for byte the same.
struct sample_rng {
    uint64_t state = 0x9e3779b97f4a7c15ULL;
    uint64_t next()
    {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 0x2545f4914f6cdd1dULL;
    }
};

// A disk-like sample in runs of 4 KiB blocks (1 to 256 blocks per run): about 40 %
// zero blocks, 30 % random bytes and 30 % text records that deflate well.
int write_sample(const char *path, uint64_t mib)
{
    constexpr size_t block = 4096;
    std::FILE *out = std::fopen(path, "wb");
    if (!out)
        return 1;
    sample_rng rng;
    std::string run;
    uint64_t left = mib * 1024 * 1024 / block, record = 0;
    while (left > 0) {
        const uint64_t blocks = std::min<uint64_t>(left, 1 + rng.next() % 256);
        const uint64_t kind = rng.next() % 10;
        run.assign(blocks * block, '\0');
        if (kind >= 4 && kind < 7) {
            for (size_t i = 0; i < run.size(); i += 8) {
                const uint64_t word = rng.next();
                std::memcpy(&run[i], &word, 8);
            }
        } else if (kind >= 7) {
            size_t at = 0;
            while (at < run.size()) {
                char line[128];
                const int n = std::snprintf(
                    line, sizeof line, "%08llu|user%04llu|%s|balance=%llu.%02llu|ok\n",
                    static_cast<unsigned long long>(record++),
                    static_cast<unsigned long long>(rng.next() % 5000),
                    rng.next() % 3 ? "active" : "closed",
                    static_cast<unsigned long long>(rng.next() % 100000),
                    static_cast<unsigned long long>(rng.next() % 100));
                const size_t take = std::min<size_t>(static_cast<size_t>(n), run.size() - at);
                std::memcpy(&run[at], line, take);
                at += take;
            }
        }
        if (std::fwrite(run.data(), 1, run.size(), out) != run.size()) {
            std::fclose(out);
            return 1;
        }
        left -= blocks;
    }
    return std::fclose(out) ? 1 : 0;
}

// device is null for a remote job: its `vantrel` section is added to the object.
std::string job_document(const char *device, const char *dir, const char *name,
                         const char *read_size)
{
    return std::string("{\"imager\": {\"image_path\": \"") + dir + "\", \"image_name\": \"" + name +
           "\", \"hash\": \"md5,sha1\", \"read_size\": \"" + read_size +
           "\"}, \"ewf\": {\"case_number\": \"bench\", \"evidence_number\": \"1\", "
           "\"examiner_name\": \"bench\", \"notes\": \"" +
           (device ? "local imaging benchmark" : "remote imaging benchmark") +
           "\", \"unique_description\": \"sample\"}" +
           (device ? std::string(", \"disk\": {\"path\": \"") + device + "\"}" : std::string()) + "}";
}

// Adds the `vantrel` section (subject host:port/path, target, user, and the password
// from the first line of password_file, stored obfuscated as in every job document).
int add_vantrel_section(vt_json_obj *doc, char **argv)
{
    std::ifstream file(argv[4]);
    std::string password;
    if (!file || !std::getline(file, password))
        return 1;
    vt_json_obj *section = nullptr;
    if (vt_json_obj_init(&section))
        return 1;
    vt_string clear = {};
    vt_string_copy(&clear, password.data(), password.size());
    const int failed = vt_json_obj_string(section, "subject", argv[1], std::strlen(argv[1])) ||
                       vt_json_obj_string(section, "target", argv[2], std::strlen(argv[2])) ||
                       vt_json_obj_string(section, "username", argv[3], std::strlen(argv[3])) ||
                       vt_json_obj_pwd(section, "password", &clear) ||
                       vt_json_obj_object(doc, "vantrel", section);
    vt_string_free(&clear);
    vt_json_obj_deit(&section);
    return failed;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::string(argv[1]) == "sample")
        return write_sample(argv[2], std::strtoull(argv[3], nullptr, 10));
    // Remote: remote_args[1..4] are SUBJECT TARGET USER PASSWORD_FILE; the rest is
    // shifted so that IMAGE_DIR and IMAGE_NAME stand where they do for a disk.
    const bool remote = argc > 1 && std::string(argv[1]) == "remote";
    char **remote_args = argv + 1;
    if (remote) {
        argv += 4;
        argc -= 4;
    }
    if (argc < 4)
        return usage();
    const char *read_size = argc > 4 && argv[4][0] != '-' ? argv[4] : "524288";
    const bool verbose = std::string(argv[argc - 1]) == "-v";
    // Failure reports stay silent unless asked for: the disk reader traces every read.
    vt_syslog_deit(&syserr);
    vt_syslog_init_cb(&syserr, verbose ? vt_syslog_stderr_cb : vt_syslog_empty_cb, nullptr);

    const std::string text = job_document(remote ? nullptr : argv[1], argv[2], argv[3], read_size);
    vt_json_obj *doc = nullptr;
    if (vt_json_obj_decode(&doc, text.c_str(), text.size() + 1) ||
        (remote && add_vantrel_section(doc, remote_args))) {
        std::fprintf(stderr, "vt_bench_img: bad job document\n");
        return 1;
    }
    vt_img *img = nullptr;
    const auto begin = std::chrono::steady_clock::now();
    int result = vt_img_json_init(&img, doc, nullptr);
    vt_json_obj_deit(&doc);
    if (result || vt_img_start(img)) {
        std::fprintf(stderr, "vt_bench_img: failed to start the job (run with -v)\n");
        vt_img_deit(&img);
        return 1;
    }
    while (vt_cond_wait_timed(img->stop_event, 1000) != 0) {
    }
    result = vt_img_stop(img);
    const bool complete = result == 0 && vt_img_check_complete(img) == 0;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    uint64_t offset = 0, remaining = 0, rate = 0;
    vt_read_state_get_state(img->rs, &offset, &remaining, &rate);
    vt_img_deit(&img);

    struct rusage usage_self = {};
    getrusage(RUSAGE_SELF, &usage_self);
    std::printf("complete=%d bytes=%llu seconds=%.3f mibps=%.1f maxrss_kib=%ld user=%.2f sys=%.2f\n",
                complete ? 1 : 0, static_cast<unsigned long long>(offset), seconds,
                static_cast<double>(offset) / (1024.0 * 1024.0) / seconds, usage_self.ru_maxrss,
                static_cast<double>(usage_self.ru_utime.tv_sec) + usage_self.ru_utime.tv_usec / 1e6,
                static_cast<double>(usage_self.ru_stime.tv_sec) + usage_self.ru_stime.tv_usec / 1e6);
    vt_syslog_deit(&syserr);
    return complete ? 0 : 1;
}
