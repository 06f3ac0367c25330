// Transfers a 64 KiB firmware file through the workflow (its search and
// transfer in a device process) to cvf-devsim with pacing on, and prints
//   - the wall time against the theoretical time: every byte of every
//     request and reply at 10 bits a byte at 57600 baud, the 4 ms pause
//     before every line and the device's own time per line;
//   - the processor time of this process and its device process during
//     the transfer, as a share of one core;
//   - how soon a device process is ready to talk after it is started.
// Usage: bench_transfer [LINE-TIME-MS]   (the device's time per line, 0)

#include "app/workflow/StringTable.h"
#include "app/workflow/DeviceSupervisor.h"
#include "app/workflow/UpdateWorkflow.h"
#include "firmware/FirmwareFile.h"
#include "link/Frame.h"
#include "FirmwareMaker.h"
#include "SimDevice.h"

#include "ProcessTimes.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>


namespace {

using Clock = std::chrono::steady_clock;

// A window that shows nothing and answers on the calling thread.
class CNullView : public CWorkflowView {
public:
    CNullView() { m_workflow.m_strDeviceProgram = CVF_DEVICE; }
    ~CNullView() override { m_workflow.FinishWorker(); }
    void PostTextMessage(int message, std::string text) override
    {
        if (message == UWM_SHOW_BUTTON)
            m_caption = text;
    }
    void PostValueMessage(int, int) override {}
    void ShowControl(Control, bool) override {}
    void SetMainButtonText(const std::string& text) override { m_caption = text; }
    void SetProgressPos(int) override {}
    void SetProgressStep(int) override {}
    void StepProgress() override {}
    void SetStatusLine(int, const std::string&) override {}
    void SetStatusLineColor(int, uint32_t) override {}
    void ShowMessage(const std::string&, MessageIcon) override {}
    bool ChooseFile(std::string&) override { return true; }
    unsigned StartClickTimer() override { return 0; }
    void KillClickTimer(unsigned) override {}
    void CloseWindow() override {}
    void RunOnWindowThread(const std::function<void()>& work) override { work(); }

    CUpdateWorkflow& Workflow() { return m_workflow; }
    std::string m_caption;

private:
    CUpdateWorkflow m_workflow{*this};
};

// From the start of a device process to its first word (the block of
// lines checked, ready to search), the best of a few.
double ReadyMs(const CFirmwareImage& image)
{
    double best = 1e9;
    for (int i = 0; i < 5; ++i) {
        CDeviceSupervisor supervisor(CVF_DEVICE);
        DeviceJobSpec job;
        const auto t0 = Clock::now();
        const int id = supervisor.Start(job, image);
        if (id < 0)
            return -1;
        bool ready = false;
        while (!ready && Clock::now() - t0 < std::chrono::seconds(5)) {
            for (const SupervisedEvent& news : supervisor.Turn(100))
                ready = ready || (!news.ended && news.event.kind == EventKind::Ready);
        }
        best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        supervisor.Stop(id);
        while (supervisor.RunningCount() > 0)
            supervisor.Turn(100);
    }
    return best;
}

constexpr double kByteSeconds = 10.0 / 57600.0;
constexpr size_t kReplyBytes = 9;  // DEV|A| + two checksum digits + EOT

}  // namespace

int main(int argc, char** argv)
{
    const int lineTimeMs = argc > 1 ? std::atoi(argv[1]) : 0;
    SetLanguage(Language::English);

    char pattern[] = "/tmp/cvf-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return 1;
    const std::string dir = pattern;
    MakerOptions options;
    options.blocks = 8;
    options.blockBytes = 8192;  // 64 KiB
    const std::string path = dir + "/bench.CVF";
    std::ofstream(path, std::ios::binary) << MakeFirmwareFile(options).bytes;

    // What the line needs: every line and its reply, the pause, the device.
    double theoretical = 0;
    int lines = 0;
    {
        CFirmwareFile file;
        file.Open(path.c_str());
        file.SeekToData();
        std::string line;
        while (file.ReadLine(line)) {
            theoretical += static_cast<double>(line.size() + kReplyBytes) * kByteSeconds + 0.004 + lineTimeMs / 1000.0;
            ++lines;
        }
        // The closing restart.
        theoretical += static_cast<double>(MakeRequest("RST|").size() + kReplyBytes) * kByteSeconds;
    }

    std::vector<std::string> args = {"--line-time", std::to_string(lineTimeMs)};
    CSimDevice sim(args, true, "COM7");
    if (!sim.IsReady()) {
        std::fprintf(stderr, "bench_transfer: the simulated device did not start\n");
        return 1;
    }

    CNullView view;
    CUpdateWorkflow& workflow = view.Workflow();
    workflow.m_strFilePath = path;
    workflow.EnterStep(StepFindDevice);
    workflow.LoadFile();
    const double readyMs = ReadyMs(workflow.m_firmware.image);
    workflow.m_portDirectory = std::filesystem::path(sim.LinkPath()).parent_path().string();
    workflow.m_sysfsRoot = dir + "/no-sysfs";
    workflow.m_nSearchHoldMs = 0;
    workflow.FindComPorts();
    workflow.SearchDevice();
    workflow.EnterStep(StepFinished);

    // The device process ends with the transfer and is reaped by then.
    const double cpu0 = CpuSeconds() + CpuSeconds(RUSAGE_CHILDREN);
    const auto t0 = Clock::now();
    workflow.TransferFirmware();
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = CpuSeconds() + CpuSeconds(RUSAGE_CHILDREN) - cpu0;

    std::printf("transfer of %d lines (%d data bytes), pacing on, device line time %d ms\n", lines,
                workflow.m_firmware.totalBytes, lineTimeMs);
    std::printf("  outcome            %s\n", view.m_caption == Text(IDS_CLOSE) ? "done" : "FAILED");
    std::printf("  wall time          %.3f s\n", wall);
    std::printf("  theoretical time   %.3f s\n", theoretical);
    std::printf("  ratio              %.4f   (goal <= 1.02)\n", wall / theoretical);
    std::printf("  processor time     %.3f s = %.2f %% of one core, window and device process   (goal <= 2 %%)\n",
                cpu, 100.0 * cpu / wall);
    std::printf("  device process     ready %.1f ms after its start   (goal <= 50 ms)\n", readyMs);

    sim.Stop();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return view.m_caption == Text(IDS_CLOSE) ? 0 : 1;
}
