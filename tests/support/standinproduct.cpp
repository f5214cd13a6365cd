// A stand-in for the product, native on Linux and on Windows, for the tests,
// the Windows lane and the benchmark. Installed under any name (the tests
// use "vlm.exe"), it appends "<version> <pid> <start>" to
// product-started.txt in its folder, the version being the first word of
// version.txt there and the start the microseconds of the system's
// real-time clock, and then waits until it is killed.
//
// It does no more than that on purpose: a product that did real work when it
// starts would compete for the processor with what the tests and the
// benchmark measure next. It is a console program, which is what makes a
// Windows shell wait for a program it starts.

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

std::string folderOfProgram()
{
#ifdef _WIN32
    wchar_t path[32768];
    const DWORD length = GetModuleFileNameW(nullptr, path, DWORD(std::size(path)));
    std::wstring wide(path, length);
    wide.erase(wide.find_last_of(L"\\/"));
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), int(wide.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string utf8(size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), int(wide.size()), utf8.data(), size, nullptr,
                        nullptr);
    return utf8;
#else
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path));
    if (length <= 0)
        return std::string();
    std::string folder(path, size_t(length));
    return folder.substr(0, folder.find_last_of('/'));
#endif
}

// The folder may hold any character: on Windows the name goes through UTF-16.
std::fstream openIn(const std::string &folder, const char *name, std::ios::openmode mode)
{
#ifdef _WIN32
    const std::string path = folder + "\\" + name;
    const int size = MultiByteToWideChar(CP_UTF8, 0, path.c_str(), int(path.size()), nullptr, 0);
    std::wstring wide(size_t(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path.c_str(), int(path.size()), wide.data(), size);
    return std::fstream(wide.c_str(), mode);
#else
    return std::fstream(folder + "/" + name, mode);
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

} // namespace

int main()
{
    const auto start = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    const std::string folder = folderOfProgram();
    if (folder.empty())
        return 1;

    std::string version;
    openIn(folder, "version.txt", std::ios::in) >> version;
    if (version.empty())
        version = "?";
    {
        std::fstream started = openIn(folder, "product-started.txt", std::ios::out | std::ios::app);
        started << version << ' ' << processId() << ' ' << start.count() << '\n';
        if (!started.flush())
            return 1;
    }
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}
