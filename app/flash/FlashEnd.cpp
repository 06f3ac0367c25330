#include "app/flash/FlashEnd.h"

namespace {

int Status(Outcome outcome)
{
    return OutcomeTable(outcome).exitStatus;
}

}  // namespace

bool Updated(const DeviceEnd& device, bool dryRun)
{
    const OutcomeTally tally = OutcomeTable(device.outcome).tally;
    return !device.refused && tally == (dryRun ? OutcomeTally::UpdatedInDryRun : OutcomeTally::Updated);
}

bool Failed(const DeviceEnd& device)
{
    if (device.refused)
        return true;
    switch (OutcomeTable(device.outcome).tally) {
    case OutcomeTally::Failed:
        return true;
    case OutcomeTally::FailedWhenCounted:
        return device.noDeviceCounts;
    default:
        return false;
    }
}

int ExitStatus(const RunEnd& end)
{
    if (end.signalled && !end.watch)
        return Status(Outcome::SearchStopped);
    bool anyDevice = false;
    bool noDeviceLeftOut = false;
    int updated = 0;
    for (const DeviceEnd& device : end.devices) {
        if (device.refused)
            return Status(Outcome::NoPort);
        if (device.outcome == Outcome::NoDevice && !device.noDeviceCounts) {
            noDeviceLeftOut = true;
            continue;
        }
        anyDevice = anyDevice || device.outcome != Outcome::NoDevice;
        updated += Updated(device, end.dryRun) ? 1 : 0;
        const int status = Status(device.outcome);
        if (status != 0)
            return status;
    }
    // Every listed port searched, and not one device on them.
    if (!end.watch && !anyDevice && noDeviceLeftOut)
        return Status(Outcome::NoDevice);
    if (end.expect && updated < *end.expect)
        return Status(Outcome::FewerThanExpected);
    return 0;
}

std::map<std::string, int> OutcomeCounts(const std::vector<DeviceEnd>& devices)
{
    std::map<std::string, int> counts;
    for (int code = 0; const std::optional<Outcome> outcome = OutcomeFromCode(code); ++code)
        counts[OutcomeTable(*outcome).name] += 0;
    for (const DeviceEnd& device : devices)
        ++counts[OutcomeTable(device.refused ? Outcome::NoPort : device.outcome).name];
    return counts;
}
