// A stand-in for the product, native on Linux and on Windows, for the tests,
// the demo, the Windows lane and the benchmark. Installed under any name (the
// tests use "vlm.exe"), it appends "<version> <pid> <start>" to
// product-started.txt in its folder, the version being the first word of
// version.txt there and the start the microseconds of the system's
// real-time clock, and then waits until it is killed.
//
// With VLM_STANDIN_SNAPSHOT=1 in its environment it first writes
// product-files.txt: one line "<SHA-256> <size> <path>" for each file of the
// installation as it found it, sorted by the path (relative, with '/'),
// leaving out the log folder, the archive, its own records and links. The
// line in product-started.txt comes after that, so a reader that saw it
// finds the whole list.
//
// Without that it does nothing more on purpose: a product that did real work
// when it starts would compete for the processor with what the benchmark
// measures next. It is a console program, which is what makes a Windows
// shell wait for a program it starts.

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <system_error>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

fs::path folderOfProgram()
{
#ifdef _WIN32
    wchar_t path[32768];
    const DWORD length = GetModuleFileNameW(nullptr, path, DWORD(std::size(path)));
    if (length == 0 || length >= std::size(path))
        return fs::path();
    return fs::path(std::wstring(path, length)).parent_path();
#else
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path));
    if (length <= 0 || size_t(length) >= sizeof(path))
        return fs::path();
    return fs::path(std::string(path, size_t(length))).parent_path();
#endif
}

long processId()
{
#ifdef _WIN32
    return long(GetCurrentProcessId());
#else
    return long(getpid());
#endif
}

// SHA-256 (FIPS 180-4), so that a test can check the list with any tool.
class Sha256
{
public:
    void add(const unsigned char *data, size_t size)
    {
        total += size;
        while (size > 0) {
            const size_t taken = std::min(size, block.size() - used);
            std::memcpy(block.data() + used, data, taken);
            used += taken;
            data += taken;
            size -= taken;
            if (used == block.size()) {
                compress();
                used = 0;
            }
        }
    }

    std::string hex()
    {
        const uint64_t bits = total * 8;
        const unsigned char one = 0x80, zero = 0;
        add(&one, 1);
        while (used != 56)
            add(&zero, 1);
        unsigned char length[8];
        for (int i = 0; i < 8; ++i)
            length[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
        add(length, 8);
        std::string text;
        char digits[9];
        for (const uint32_t word : state) {
            std::snprintf(digits, sizeof(digits), "%08x", static_cast<unsigned>(word));
            text += digits;
        }
        return text;
    }

private:
    static uint32_t rotate(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

    void compress()
    {
        static const uint32_t k[64] = {
            0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
            0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
            0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
            0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
            0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
            0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
            0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
            0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
            0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
            0xc67178f2
        };
        uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = uint32_t(block[4 * i]) << 24 | uint32_t(block[4 * i + 1]) << 16
                | uint32_t(block[4 * i + 2]) << 8 | uint32_t(block[4 * i + 3]);
        for (int i = 16; i < 64; ++i) {
            const uint32_t s0 = rotate(w[i - 15], 7) ^ rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const uint32_t s1 = rotate(w[i - 2], 17) ^ rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::array<uint32_t, 8> v = state;
        for (int i = 0; i < 64; ++i) {
            const uint32_t s1 = rotate(v[4], 6) ^ rotate(v[4], 11) ^ rotate(v[4], 25);
            const uint32_t choice = (v[4] & v[5]) ^ (~v[4] & v[6]);
            const uint32_t t1 = v[7] + s1 + choice + k[i] + w[i];
            const uint32_t s0 = rotate(v[0], 2) ^ rotate(v[0], 13) ^ rotate(v[0], 22);
            const uint32_t majority = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
            v = { t1 + s0 + majority, v[0], v[1], v[2], v[3] + t1, v[4], v[5], v[6] };
        }
        for (int i = 0; i < 8; ++i)
            state[i] += v[i];
    }

    std::array<uint32_t, 8> state { 0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                    0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19 };
    std::array<unsigned char, 64> block {};
    size_t used = 0;
    uint64_t total = 0;
};

// "<SHA-256> <size>" of a file, or "unreadable -1" when it cannot be read.
std::string fileDigest(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    static char buffer[1 << 20];
    Sha256 hash;
    uint64_t size = 0;
    while (in.read(buffer, sizeof(buffer)) || in.gcount() > 0) {
        hash.add(reinterpret_cast<const unsigned char *>(buffer), size_t(in.gcount()));
        size += uint64_t(in.gcount());
    }
    if (!in.eof())
        return "unreadable -1";
    return hash.hex() + ' ' + std::to_string(size);
}

bool ownRecord(const std::string &relative)
{
    return relative == "product-started.txt" || relative == "product-files.txt"
        || relative == "vlm_update.zip";
}

bool writeSnapshot(const fs::path &folder)
{
    std::map<std::string, std::string> lines;
    std::error_code error;
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied,
                                        error);
    for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        const std::string relative = it->path().lexically_relative(folder).generic_u8string();
        if (it.depth() == 0 && relative == "log") {
            it.disable_recursion_pending();
            continue;
        }
        std::error_code unknown;
        if (it->is_symlink(unknown) || !it->is_regular_file(unknown) || ownRecord(relative))
            continue;
        lines[relative] = fileDigest(it->path());
    }
    if (error)
        return false;
    std::ofstream out(folder / "product-files.txt", std::ios::binary | std::ios::trunc);
    for (const auto &line : lines)
        out << line.second << ' ' << line.first << '\n';
    return bool(out.flush());
}

bool snapshotRequested()
{
    const char *value = std::getenv("VLM_STANDIN_SNAPSHOT");
    return value && std::strcmp(value, "1") == 0;
}

} // namespace

int main()
{
    const auto start = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    const fs::path folder = folderOfProgram();
    if (folder.empty())
        return 1;
    if (snapshotRequested() && !writeSnapshot(folder))
        return 1;

    std::string version;
    std::ifstream(folder / "version.txt") >> version;
    if (version.empty())
        version = "?";
    {
        std::ofstream started(folder / "product-started.txt", std::ios::app);
        started << version << ' ' << processId() << ' ' << start.count() << '\n';
        if (!started.flush())
            return 1;
    }
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}
