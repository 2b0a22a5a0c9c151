// Times one full clean of a TROJ_NAVIDAD.E infection against the simulated Windows, using the
// host build's core library; scripts/bench compiles and runs it. Prints the minimum and median
// over many runs, and fails if any run is not a full clean, so every figure is of a whole one.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cleaner/run.h"
#include "tests/sim_windows.h"

namespace {

using karvelon::test::SimWindows;

const std::string kSys = "C:\\WINDOWS\\System32";
constexpr char kRunKey[] = "HKLM\\software\\microsoft\\windows\\currentversion\\run";

bool fully_cleaned(const SimWindows& w, int status)
{
    return status == 0 && w.output.find(" System registry cleaned.\n") != std::string::npos &&
           w.value(kRunKey, "Win32BaseServiceMOD") == nullptr && !w.has_file(kSys + "\\WINTASK.EXE") &&
           !w.has_key("HKCU\\software\\Navidad") && !w.has_key("HKCU\\software\\Emanuel");
}

} // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
    std::vector<double> micros;
    for (int i = 0; i < runs; ++i) {
        SimWindows w = karvelon::test::infected_machine(2);
        const auto start = std::chrono::steady_clock::now();
        const int status = karvelon::run(w);
        const auto end = std::chrono::steady_clock::now();
        if (!fully_cleaned(w, status)) {
            std::fprintf(stderr, "run %d was not a full clean:\n%s", i, w.output.c_str());
            return 1;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    std::sort(micros.begin(), micros.end());
    const double median = runs % 2 ? micros[runs / 2] : (micros[runs / 2 - 1] + micros[runs / 2]) / 2;
    std::printf("%.1f %.1f %d\n", micros.front(), median, runs);
    return 0;
}
