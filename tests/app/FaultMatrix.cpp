#include "FaultMatrix.h"

#include "DialogTestSupport.h"

#include <sstream>

using apptest::CTestDialog;


namespace {

// The window against what an end must show: each difference a line of the
// report.
void Compare(const CTestDialog& dlg, Seen seen, const std::string& what, std::string& report)
{
    std::istringstream mismatch(dlg.Mismatch(seen.outcome, seen.noVersion ? kNoVersion : nullptr));
    for (std::string line; std::getline(mismatch, line);)
        report += what + ": " + line + "\n";
}

std::string Join(const std::vector<std::string>& words)
{
    std::string text;
    for (const std::string& w : words)
        text += (text.empty() ? "" : " ") + w;
    return "{" + text + "}";
}

}  // namespace

bool RunFaultCase(const FaultRun& run, const std::string& file, std::string& report)
{
    const size_t reported = report.size();
    std::vector<std::string> args = run.deviceArgs;
    args.insert(args.end(), {"--image-out", "image.txt"});
    CSimDevice faulty(args, false, "COM5");
    if (!faulty.IsReady()) {
        report += "the simulated device did not start\n";
        return false;
    }
    const std::string ports = PortDirectoryOf(faulty);

    CTestDialog dlg;
    dlg.Workflow().m_nSearchHoldMs = 0;
    dlg.UsePortDirectory(ports);
    dlg.show();
    if (!dlg.Load(file)) {
        report += "the file did not load\n";
        return false;
    }
    // Searches take at most three attempts on one port (3 s) and PSD and
    // EAE three of 3 s each; a line at most 10 s and the closing commands
    // 10 s each.
    if (!dlg.Search(30000)) {
        report += "the search did not end\n";
        return false;
    }
    Compare(dlg, run.search, "search", report);

    const bool found = run.search.outcome == Outcome::Compatible;
    if (found) {
        if (!dlg.AnswerYes(45000)) {
            report += "the transfer did not end\n";
            return false;
        }
        Compare(dlg, run.transfer, "transfer", report);
        const std::vector<std::string> closing = RequestsAfterLines(faulty);
        if (closing != run.closing)
            report += "after the last line the device heard " + Join(closing) + ", expected " + Join(run.closing) + "\n";
        if (run.transfer.outcome == Outcome::Done && run.imageWhole) {
            faulty.Stop();  // writes the image
            if (ReadDeviceImage(faulty.File("image.txt")) != ImageOfFile(file))
                report += "the device's image differs from the file\n";
        }
    }

    // Then a clean update on a fresh device under the same name.
    if (!(found && run.transfer.outcome == Outcome::Done)) {
        faulty.Stop();
        CSimDevice clean({"--image-out", "image.txt", "--port-dir", ports}, false, "COM5");
        if (!clean.IsReady()) {
            report += "the clean device did not start\n";
            return false;
        }
        if (dlg.Step() == StepLoadFile && !dlg.Load(file))
            report += "repeat: the file did not load again\n";
        if (dlg.Step() == StepFindDevice && !dlg.Search(30000))
            report += "repeat: the search did not end\n";
        if (dlg.Step() == StepTransfer && !dlg.AnswerYes(45000))
            report += "repeat: the transfer did not end\n";
        Compare(dlg, faults::O::Done, "repeat", report);
        clean.Stop();
        if (ReadDeviceImage(clean.File("image.txt")) != ImageOfFile(file))
            report += "repeat: the device's image differs from the file\n";
    }
    return report.size() == reported;
}
