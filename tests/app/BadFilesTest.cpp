// Broken and unusual firmware files through the real window: each ends
// with the message or the texts it must give, nothing reaches the device
// the window could talk to, and the window then loads a good file.

#include "DialogTestSupport.h"

#include "FirmwareMaker.h"
#include "app/workflow/StringTable.h"
#include "link/Frame.h"

#include <QtTest>

#include <filesystem>
#include <fstream>
#include <random>

#include <sys/stat.h>
#include <unistd.h>

using apptest::CTestDialog;

namespace {

enum class Expect {
    Refused,       // the header check refuses it: message "<path>\nUnexpected file format."
    Faulty,        // the loader refuses it: "The selected file is faulty!" ...
    CannotOpen,    // the loader cannot open it: message "<path>\ncouldn't be opened.", then faulty
    Loads,         // it is a good file
};

const std::string kHeader = "[PSDINDEX]\r\nINDEX=CVF-DEMO-0001\r\nDEVICE=Demo Controller\r\n[DATA]\r\n";

std::string Hex(size_t count, uint8_t value)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (size_t i = 0; i < count; ++i) {
        hex += digits[value >> 4];
        hex += digits[value & 0x0F];
    }
    return hex;
}

// A block-start line of exactly `length` characters (checksum and EOT
// included) with a matching block sum, and the marker that closes it.
std::string BlockOfLineLength(size_t length)
{
    // "FWBS|00|NN|SSSS|0000|" + data + "|" + checksum + EOT: 25 + data characters.
    const size_t dataChars = length - 25;
    const size_t bytes = dataChars / 2;
    std::string data = Hex(bytes, 0x11);
    if (dataChars % 2)
        data += "0";  // an odd digit: the frame stays valid, the line one longer
    char head[32];
    std::snprintf(head, sizeof head, "FWBS|00|%02X|%04X|0000|", static_cast<unsigned>(bytes & 0xFF),
                  static_cast<unsigned>((bytes * 0x11) & 0xFFFF));
    return MakeRequest(std::string(head) + data + "|") + "\r\n" + MakeRequest("FWXXX|00|") + "\r\n";
}

std::string Sample()
{
    return MakeFirmwareFile(SmallFirmware()).bytes;
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

}  // namespace

class BadFilesTest : public QObject {
    Q_OBJECT

private:
    std::string Write(const std::string& name, const std::string& bytes)
    {
        const std::string path = m_dir.File(name);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        return path;
    }

    // Loads path in a fresh window and checks the outcome; then the same
    // window loads the good sample.
    // reason: the system's word for a file that does not even open, on
    // the line after the format text.
    void Check(const std::string& path, Expect expect, const std::function<void()>& afterCheck = {},
               const QString& reason = {})
    {
        CTestDialog dlg;
        dlg.UsePortDirectory(PortDirectoryOf(*m_device));
        dlg.m_afterHeaderCheck = afterCheck;
        dlg.show();
        const bool loaded = dlg.Load(path);
        const QString qpath = QString::fromStdString(path);
        switch (expect) {
        case Expect::Refused:
            QVERIFY(!loaded);
            QCOMPARE(dlg.Boxes().size(), 1);
            QCOMPARE(dlg.Boxes()[0].text,
                     qpath + "\nUnexpected file format." + (reason.isEmpty() ? QString() : "\n" + reason));
            QCOMPARE(dlg.Boxes()[0].caption, QString("cvf-update"));
            QVERIFY_SHOWS(dlg, kInstructions);
            break;
        case Expect::CannotOpen:
            QCOMPARE(dlg.Boxes().size(), 1);
            QCOMPARE(dlg.Boxes()[0].text, qpath + "\ncouldn't be opened.");
            [[fallthrough]];
        case Expect::Faulty:
            QVERIFY(!loaded);
            QVERIFY_SHOWS(dlg, Outcome::LoadFaulty);
            QCOMPARE(dlg.Pane(ID_PANE_FILE)->text(), QString());
            QVERIFY(!dlg.Workflow().m_file.IsOpen());
            QVERIFY(dlg.m_progress.isHidden());
            if (expect == Expect::Faulty)
                QVERIFY(dlg.Boxes().isEmpty());
            break;
        case Expect::Loads:
            QVERIFY(loaded);
            QVERIFY_SHOWS(dlg, Outcome::Loaded);
            QVERIFY(dlg.Boxes().isEmpty());
            break;
        }
        // The window goes on working.
        if (dlg.Step() == StepFindDevice) {
            dlg.Workflow().m_file.Close();
            dlg.Workflow().EnterStep(StepLoadFile);
        }
        QVERIFY(dlg.Load(m_good));
        QCOMPARE(dlg.m_lblInfo1.text(), QString("Demo Controller compatible fimware file loaded."));
    }

    CTempDir m_dir;
    std::string m_good;
    std::unique_ptr<CSimDevice> m_device;

private slots:
    void initTestCase()
    {
        SetLanguage(Language::English);
        m_good = Write("good.CVF", Sample());
        // A device the window could find: it must hear nothing.
        m_device = std::make_unique<CSimDevice>(std::vector<std::string>{}, false, "COM5");
        QVERIFY(m_device->IsReady());
    }

    void cleanupTestCase()
    {
        QVERIFY(Requests(*m_device).empty());
        m_device.reset();
    }

    void FilesTheHeaderCheckRefuses()
    {
        std::mt19937 random(7);
        std::string junk(4096, '\0');
        for (char& c : junk)
            c = static_cast<char>(random());
        Check(Write("junk.CVF", junk), Expect::Refused);
        Check(Write("empty.CVF", ""), Expect::Refused);
        Check(Write("noindex.CVF", "[DATA]\r\n" + MakeRequest("FWXXX|00|") + "\r\n"), Expect::Refused);
        Check(Write("nodata.CVF", "[PSDINDEX]\r\nINDEX=CVF-DEMO-0001\r\nDEVICE=Demo Controller\r\n"),
              Expect::Refused);
        // With one-byte line ends every line after the first loses its first
        // character, "[DATA]" among them.
        MakerOptions lf = SmallFirmware();
        lf.lfOnly = true;
        Check(Write("lf.CVF", MakeFirmwareFile(lf).bytes), Expect::Refused);
        Check(Write("cr.CVF", ReplaceAll(Sample(), "\r\n", "\r")), Expect::Refused);
        Check(m_dir.File("missing.CVF"), Expect::Refused, {}, "No such file or directory");

        std::filesystem::create_directory(m_dir.File("folder.CVF"));
        Check(m_dir.File("folder.CVF"), Expect::Refused, {}, "Is a directory");
        QCOMPARE(mkfifo(m_dir.File("pipe.CVF").c_str(), 0600), 0);
        // And does not hang on the pipe.
        Check(m_dir.File("pipe.CVF"), Expect::Refused, {}, "Invalid argument");

        // A file that cannot be read: without read permission, or (for
        // root, who may read anything) one whose every read fails.
        if (geteuid() != 0) {
            const std::string locked = Write("locked.CVF", Sample());
            chmod(locked.c_str(), 0);
            Check(locked, Expect::Refused, {}, "Permission denied");
        } else {
            Check("/proc/self/mem", Expect::Refused);
        }
    }

    void FilesTheLoaderRefuses()
    {
        MakerOptions o = SmallFirmware();
        o.lowercaseChecksumLine = -1;
        Check(Write("lower.CVF", MakeFirmwareFile(o).bytes), Expect::Faulty);
        o = SmallFirmware();
        o.badBlockSum = 2;
        Check(Write("blocksum.CVF", MakeFirmwareFile(o).bytes), Expect::Faulty);
        o = SmallFirmware();
        o.badChecksumLine = 3;
        Check(Write("checksum.CVF", MakeFirmwareFile(o).bytes), Expect::Faulty);
        o = SmallFirmware();
        o.blankLineAtEnd = true;
        Check(Write("blank.CVF", MakeFirmwareFile(o).bytes), Expect::Faulty);

        Check(Write("line300.CVF", kHeader + BlockOfLineLength(300)), Expect::Faulty);
        Check(Write("line10000.CVF", kHeader + BlockOfLineLength(10000)), Expect::Faulty);

        std::string withNul = Sample();
        withNul[withNul.find("FWDL") + 20] = '\0';
        Check(Write("nul.CVF", withNul), Expect::Faulty);
        std::string withFf = Sample();
        withFf[withFf.find("FWDL") + 20] = '\xFF';
        Check(Write("ff.CVF", withFf), Expect::Faulty);

        const std::string whole = Sample();
        Check(Write("truncated.CVF", whole.substr(0, whole.size() - 7)), Expect::Faulty);

        // Lines the device could never answer: a frame that ends in
        // something other than EOT, and a header line too long to be read
        // whole (the device name would be cut without a word).
        std::string noEot = Sample();
        noEot[noEot.find('\x04')] = 'X';
        Check(Write("no-eot.CVF", noEot), Expect::Faulty);
        std::string longDevice = Sample();
        longDevice.insert(longDevice.find("Demo Controller"), std::string(400, 'D'));
        Check(Write("long-device.CVF", longDevice), Expect::Faulty);

        // A sparse file of 2 GiB - 1 byte whose data section is its last
        // line: the zeros before it are one line far longer than a line may
        // be, header lines included.
        const std::string sparse = m_dir.File("sparse.CVF");
        {
            std::ofstream out(sparse, std::ios::binary);
            out << "[PSDINDEX]\r\nINDEX=CVF-DEMO-0001\r\nDEVICE=Demo Controller\r\n";
        }
        const std::string tail = "\r\n[DATA]\r\n" + MakeRequest("FWXXX|00|") + "\r\n";
        const off_t size = 0x7FFFFFFF;
        std::filesystem::resize_file(sparse, static_cast<uintmax_t>(size) - tail.size());
        {
            std::ofstream out(sparse, std::ios::binary | std::ios::app);
            out << tail;
        }
        QCOMPARE(std::filesystem::file_size(sparse), static_cast<uintmax_t>(size));
        Check(sparse, Expect::Faulty);
    }

    void FilesChangedBetweenCheckAndLoad()
    {
        const std::string deleted = Write("deleted.CVF", Sample());
        Check(deleted, Expect::CannotOpen, [&] { std::filesystem::remove(deleted); });
        const std::string truncated = Write("shrunk.CVF", Sample());
        Check(truncated, Expect::Faulty, [&] { std::filesystem::resize_file(truncated, 400); });
    }

    void UnusualFilesThatAreGood()
    {
        Check(Write("line299.CVF", kHeader + BlockOfLineLength(299)), Expect::Loads);
        Check(Write("nolines.CVF", kHeader), Expect::Loads);

        // 64 MiB of firmware lines.
        MakerOptions big;
        big.blocks = 64 * 1024 * 1024 / 86 * 32 / 8192;
        big.writeVersion = false;
        const std::string large = Write("large.CVF", MakeFirmwareFile(big).bytes);
        QVERIFY(std::filesystem::file_size(large) >= 63u * 1024 * 1024);
        Check(large, Expect::Loads);
        std::filesystem::remove(large);

    }
};

QTEST_MAIN(BadFilesTest)
#include "BadFilesTest.moc"
