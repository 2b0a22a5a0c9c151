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
    case Outcome::NotChecked:
        write_message(platform, kNotCheckedLine);
        write_message(platform, kAdministratorAdvice);
        return;
    }
}

namespace {

int exit_status_of(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Cleaned:
    case Outcome::NotInfected: return 0;
    case Outcome::NotCleaned:
    case Outcome::NoShellLibrary: return 1;
    case Outcome::NotChecked: return 2;
    }
    return 1;
}

} // namespace

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
    } else if (match.finding == Finding::NotChecked) {
        outcome = Outcome::NotChecked;
    }
    report_outcome(platform, outcome);
    return exit_status_of(outcome);
}

} // namespace karvelon
