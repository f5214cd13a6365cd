// The product as far as an update can tell: installed as "vlm.exe", it
// appends "<version> <pid> <start>" to product-started.txt in its folder, the
// version being the first word of version.txt there and the start the
// microseconds of the system's real-time clock, and then waits to be killed.
//
// It does no more than that on purpose: a product that did real work when it
// starts would compete for the processor with the run that follows.

#include <ctime>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

int main()
{
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    const long long startUs = (long long)now.tv_sec * 1000000 + now.tv_nsec / 1000;

    std::error_code error;
    const std::filesystem::path folder =
        std::filesystem::read_symlink("/proc/self/exe", error).parent_path();
    if (error)
        return 1;

    std::string version;
    std::ifstream(folder / "version.txt") >> version;
    if (version.empty())
        version = "?";

    {
        std::ofstream started(folder / "product-started.txt", std::ios::app);
        started << version << ' ' << getpid() << ' ' << startUs << '\n';
        if (!started.flush())
            return 1;
    }

    for (;;)
        pause();
}
