// The cleaning run, once from start to end.
#include "cleaner/run.h"

#include "cleaner/probe.h"
#include "cleaner/removal.h"
#include "console/console.h"

namespace karvelon {

void report_outcome(Platform& platform, Outcome outcome)
{
    switch (outcome) {
    case Outcome::Cleaned: write_message(platform, kRebootAdvice); return;
    case Outcome::NotCleaned: write_message(platform, kAdministratorAdvice); return;
    case Outcome::NoShellLibrary: write_message(platform, kShellLibraryAdvice); return;
    case Outcome::NotInfected: write_message(platform, kNotInfectedLine); return;
    }
}

int run(Platform& platform)
{
    WorkingStorage storage{};
    Outcome outcome = Outcome::NotInfected;
    ConsoleInput input(platform);

    show_banner_and_wait(platform, input);
    const Match match = probe(platform, storage);
    if (match.variant != nullptr) {
        write_message(platform, match.variant->infection_notice);
        outcome = remove_and_repair(platform, match, storage.run_key);
    }
    report_outcome(platform, outcome);
    return outcome == Outcome::NotCleaned || outcome == Outcome::NoShellLibrary ? 1 : 0;
}

} // namespace karvelon
