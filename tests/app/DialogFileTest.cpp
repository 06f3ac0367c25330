// Choosing and loading a firmware file through the real file dialog: the
// good file, the file dialog's filter, the refusals (header, faulty lines
// and blocks, a file gone before loading), and closing while loading.

#include "DialogTestSupport.h"

#include <QAbstractItemView>
#include <QLabel>
#include <QtTest>

#include <cstdio>

using namespace apptest;

namespace {

// The names the file dialog lists in its current folder.
QStringList Listed(QFileDialog* files)
{
    QStringList names;
    auto* view = files->findChild<QAbstractItemView*>(QStringLiteral("listView"));
    if (!view || !view->model())
        return names;
    const QModelIndex root = view->rootIndex();
    for (int row = 0; row < view->model()->rowCount(root); ++row)
        names << view->model()->index(row, 0, root).data().toString();
    return names;
}

}  // namespace

class FileTest : public CDialogSuite {
    Q_OBJECT
private slots:
    void goodFileIsLoadedAndShown();
    void textsFromTheFileAreShownAsText();
    void fileDialogListsEverySpellingOfTheExtension();
    void cancelledFileDialogChangesNothing();
    void fileFailingTheHeaderCheckIsRefusedWithAMessage_data();
    void fileFailingTheHeaderCheckIsRefusedWithAMessage();
    void faultyFileIsRefused_data();
    void faultyFileIsRefused();
    void fileGoneBeforeLoadingIsRefused();
    void anotherFileCanBeLoadedAfterARefusal();
    void closeIsRefusedWhileLoadingAndAllowedAfter();
    void closeIsAllowedInTheLoadStep();

private:
    // A shown dialog in step 1, "Load file".
    void StartDialog();
};

void FileTest::StartDialog()
{
    ShowDialog();
    // The file is chosen in the real file dialog.
    m_dialog->UseFileDialog();
    QVERIFY(m_dialog->Start());
}

void FileTest::goodFileIsLoadedAndShown()
{
    StartDialog();
    CTestDialog& dialog = *m_dialog;
    const std::string path = m_dir->WriteFirmware("sample.CVF");
    QVERIFY(dialog.Load(path));

    QCOMPARE(dialog.FileChoices(), 1);
    // The description as a native chooser names it (all before the
    // patterns, the blank included), then every spelling of the extension.
    QCOMPARE(dialog.FileFilters(),
             QStringList({QStringLiteral("Corvane Firmware File (*.CVF *.cvf *.Cvf *.CVf *.CvF *.cVF *.cVf *.cvF)")}));
    QCOMPARE(dialog.FileTypeShown(), QStringLiteral("Corvane Firmware File"));
    QCOMPARE(dialog.Boxes().size(), 0);

    QCOMPARE(dialog.m_lblInfo1.text(), QStringLiteral("Demo Controller compatible fimware file loaded."));
    QCOMPARE(dialog.m_lblInfo2.text(), QStringLiteral("Software Version:"));
    QCOMPARE(dialog.m_lblInfo3.text(), QStringLiteral("2026-11  V2.4.1"));
    QVERIFY_SHOWS(dialog, Outcome::Loaded);
    QVERIFY(dialog.m_btnMain.isVisible());
    QVERIFY(dialog.m_progress.isHidden());
    QCOMPARE(dialog.Pane(ID_PANE_FILE)->text(), QString::fromStdString(path));
    QCOMPARE(dialog.Pane(ID_PANE_DEVICE)->text(), QStringLiteral("Demo Controller"));
    QCOMPARE(dialog.Pane(ID_PANE_PORT)->text(), QStringLiteral("COM"));
    QVERIFY(dialog.Workflow().m_file.IsOpen());
    Shoot(dialog, QStringLiteral("2-loaded"));
}

void FileTest::textsFromTheFileAreShownAsText()
{
    // Markup in a device name or a version record is text to show; an
    // image tag must not make a label load a file.
    StartDialog();
    CTestDialog& dialog = *m_dialog;
    MakerOptions options;
    options.device = "<s>UNIT</s>";
    options.version1 = "<img src=/x>";
    QVERIFY(dialog.Load(m_dir->WriteFirmware("markup.CVF", options)));
    QCOMPARE(dialog.m_lblInfo1.text(), QStringLiteral("<s>UNIT</s> compatible fimware file loaded."));
    QCOMPARE(dialog.m_lblInfo1.textFormat(), Qt::PlainText);
    QCOMPARE(dialog.m_lblInfo3.textFormat(), Qt::PlainText);
    QVERIFY(dialog.m_lblInfo3.text().endsWith(QStringLiteral("<img src=/x>")));
    QCOMPARE(dialog.Pane(ID_PANE_DEVICE)->text(), QStringLiteral("<s>UNIT</s>"));
    QVERIFY2(dialog.Pane(ID_PANE_DEVICE)->toolTip().contains(QStringLiteral("&lt;s&gt;UNIT&lt;/s&gt;")),
             qPrintable(dialog.Pane(ID_PANE_DEVICE)->toolTip()));
}

void FileTest::fileDialogListsEverySpellingOfTheExtension()
{
    StartDialog();
    CTestDialog& dialog = *m_dialog;
    const std::string lower = m_dir->WriteFirmware("fw.cvf");
    m_dir->WriteFirmware("UPPER.CVF");
    m_dir->WriteFirmware("Mixed.Cvf");
    m_dir->Write("notes.txt", "not firmware\r\n");
    m_dir->Write("fw.cvf.bak", "not firmware\r\n");

    const QString folder = QString::fromStdString(m_dir->Path());
    QStringList listed;
    QElapsedTimer waited;
    dialog.UseFileDialog([&](QFileDialog* files) {
        if (!waited.isValid()) {
            waited.start();
            files->setDirectory(folder);
            return false;
        }
        listed = Listed(files);
        // The folder is read in the background; the upper-case name is
        // listed in any case once it has been read.
        if (!listed.contains(QStringLiteral("UPPER.CVF")) && waited.elapsed() < 10000)
            return false;
        return ChooseInFileDialog(files, QString::fromStdString(lower));
    });

    QVERIFY(dialog.Click());

    listed.sort();
    QCOMPARE(listed, QStringList({QStringLiteral("Mixed.Cvf"), QStringLiteral("UPPER.CVF"), QStringLiteral("fw.cvf")}));
    QCOMPARE(dialog.m_btnMain.text(), QStringLiteral("continue"));
    QCOMPARE(dialog.Pane(ID_PANE_FILE)->text(), QString::fromStdString(lower));
}

void FileTest::cancelledFileDialogChangesNothing()
{
    StartDialog();
    CTestDialog& dialog = *m_dialog;
    dialog.CancelNextFile();

    QVERIFY(dialog.Click());

    QCOMPARE(dialog.FileChoices(), 1);
    QCOMPARE(dialog.Boxes().size(), 0);
    QVERIFY_SHOWS(dialog, kInstructions);
    QCOMPARE(dialog.m_lblInfo1.text(), QStringLiteral("Firmware Update Tool"));
    QCOMPARE(dialog.Pane(ID_PANE_FILE)->text(), QStringLiteral("firmware file"));
    QVERIFY(!dialog.Workflow().m_file.IsOpen());
}

void FileTest::fileFailingTheHeaderCheckIsRefusedWithAMessage_data()
{
    QTest::addColumn<bool>("opens");
    QTest::addColumn<QString>("reason");
    QTest::newRow("no index section") << true << QString();
    // Root reads any file, so a directory stands for one that cannot be
    // opened; the system's reason follows on a line of its own.
    QTest::newRow("does not open") << false << QStringLiteral("\nIs a directory");
}

void FileTest::fileFailingTheHeaderCheckIsRefusedWithAMessage()
{
    QFETCH(bool, opens);
    QFETCH(QString, reason);
    StartDialog();
    CTestDialog& dialog = *m_dialog;
    std::string path = m_dir->Path() + "/x.CVF";
    if (opens) {
        std::string bytes = MakeFirmwareFile(MakerOptions()).bytes;
        bytes.replace(bytes.find("[PSDINDEX]"), 10, "[PSDINDEK]");
        path = m_dir->Write("header.CVF", bytes);
    } else {
        QVERIFY(QDir().mkdir(QString::fromStdString(path)));
        dialog.SkipFileDialog();
    }

    QVERIFY(!dialog.Load(path));

    QCOMPARE(dialog.Boxes().size(), 1);
    QCOMPARE(dialog.Boxes()[0].caption, QStringLiteral("cvf-update"));
    QCOMPARE(dialog.Boxes()[0].text,
             QString::fromStdString(path) + QStringLiteral("\nUnexpected file format.") + reason);
    QCOMPARE(dialog.Boxes()[0].icon, QMessageBox::Information);
    QVERIFY_SHOWS(dialog, kInstructions);
    QVERIFY(!dialog.Workflow().m_file.IsOpen());
}

void FileTest::faultyFileIsRefused_data()
{
    QTest::addColumn<int>("badChecksumLine");
    QTest::addColumn<int>("lowercaseChecksumLine");
    QTest::addColumn<int>("badBlockSum");
    QTest::addColumn<bool>("blankLineAtEnd");
    QTest::addColumn<int>("overlongLine");

    // The sample has 3 blocks of 256 lines and a marker each: 771 lines.
    QTest::newRow("bad checksum on the last line") << 771 << 0 << 0 << false << 0;
    QTest::newRow("lower-case checksum digit on the last line") << 0 << -1 << 0 << false << 0;
    QTest::newRow("block sum wrong at the second marker") << 0 << 0 << 2 << false << 0;
    QTest::newRow("blank line at the end") << 0 << 0 << 0 << true << 0;
    QTest::newRow("over-long line") << 0 << 0 << 0 << false << 300;
}

void FileTest::faultyFileIsRefused()
{
    QFETCH(int, badChecksumLine);
    QFETCH(int, lowercaseChecksumLine);
    QFETCH(int, badBlockSum);
    QFETCH(bool, blankLineAtEnd);
    QFETCH(int, overlongLine);

    StartDialog();
    CTestDialog& dialog = *m_dialog;
    MakerOptions options;
    options.badChecksumLine = badChecksumLine;
    options.lowercaseChecksumLine = lowercaseChecksumLine;
    options.badBlockSum = badBlockSum;
    options.blankLineAtEnd = blankLineAtEnd;
    options.overlongLine = overlongLine;
    const MakerResult made = MakeFirmwareFile(options);
    QVERIFY2(made.error.empty(), made.error.c_str());
    QCOMPARE(made.dataLines, 771);

    QVERIFY(!dialog.Load(m_dir->Write("faulty.CVF", made.bytes)));

    QCOMPARE(dialog.Boxes().size(), 0);
    QVERIFY_SHOWS(dialog, Outcome::LoadFaulty);
    QVERIFY(dialog.m_btnMain.isVisible());
    QVERIFY(dialog.m_progress.isHidden());
    QVERIFY(!dialog.Workflow().m_file.IsOpen());
    QCOMPARE(dialog.Pane(ID_PANE_FILE)->text(), QString());
    QCOMPARE(dialog.Pane(ID_PANE_DEVICE)->text(), QString());
    // The upper lines are left as they were.
    QCOMPARE(dialog.m_lblInfo1.text(), QStringLiteral("Firmware Update Tool"));
    QCOMPARE(dialog.m_lblInfo3.text(), QString());
}

void FileTest::fileGoneBeforeLoadingIsRefused()
{
    // The file passes the header check and is removed before the loader
    // opens it (as root, taking the read permission away would not do).
    StartDialog();
    CTestDialog& dialog = *m_dialog;
    const std::string path = m_dir->WriteFirmware("gone.CVF");
    dialog.m_afterHeaderCheck = [path] { std::remove(path.c_str()); };

    QVERIFY(!dialog.Load(path));

    QCOMPARE(dialog.Boxes().size(), 1);
    QCOMPARE(dialog.Boxes()[0].caption, QStringLiteral("cvf-update"));
    QCOMPARE(dialog.Boxes()[0].text, QString::fromStdString(path) + QStringLiteral("\ncouldn't be opened."));
    QCOMPARE(dialog.Boxes()[0].icon, QMessageBox::Warning);
    QVERIFY_SHOWS(dialog, Outcome::CannotOpen);
    QVERIFY(dialog.m_btnMain.isVisible());
    QVERIFY(!dialog.Workflow().m_file.IsOpen());
}

void FileTest::anotherFileCanBeLoadedAfterARefusal()
{
    StartDialog();
    CTestDialog& dialog = *m_dialog;
    MakerOptions faulty;
    faulty.badChecksumLine = 10;
    QVERIFY(!dialog.Load(m_dir->WriteFirmware("faulty.CVF", faulty)));
    QCOMPARE(dialog.m_btnMain.text(), QStringLiteral("Load file"));

    const std::string good = m_dir->WriteFirmware("good.CVF");
    QVERIFY(dialog.Load(good));
    QCOMPARE(dialog.FileChoices(), 2);
    QVERIFY_SHOWS(dialog, Outcome::Loaded);
    QCOMPARE(dialog.Pane(ID_PANE_FILE)->text(), QString::fromStdString(good));
}

void FileTest::closeIsRefusedWhileLoadingAndAllowedAfter()
{
    StartDialog();
    CTestDialog& dialog = *m_dialog;
    dialog.NextFile(m_dir->WriteFirmware("sample.CVF"));
    dialog.HoldAtProgress(0);

    dialog.OpenClickGate();
    MouseClick(dialog.m_btnMain);
    QTRY_VERIFY(dialog.IsHeld());
    QVERIFY(dialog.m_progress.isVisible());

    QVERIFY(!dialog.close());
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.Boxes().size(), 1);
    QCOMPARE(dialog.Boxes()[0].caption, QStringLiteral("cvf-update"));
    QCOMPARE(dialog.Boxes()[0].text, QString(kCloseRefused));
    // Clicks are ignored while the worker runs.
    dialog.OpenClickGate();
    MouseClick(dialog.m_btnMain);
    QCOMPARE(dialog.FileChoices(), 1);

    dialog.Release();
    QVERIFY(dialog.WaitIdle());
    QCOMPARE(dialog.m_btnMain.text(), QStringLiteral("continue"));
    QCOMPARE(dialog.m_lblInfo3.text(), QStringLiteral("2026-11  V2.4.1"));

    // Step 2 with the file open: closing is allowed and closes the file.
    QVERIFY(dialog.close());
    QVERIFY(!dialog.isVisible());
    QVERIFY(!dialog.Workflow().m_file.IsOpen());
    QCOMPARE(dialog.Boxes().size(), 1);
}

void FileTest::closeIsAllowedInTheLoadStep()
{
    StartDialog();
    QVERIFY(m_dialog->close());
    QVERIFY(!m_dialog->isVisible());
    QCOMPARE(m_dialog->Boxes().size(), 0);
}

QTEST_MAIN(FileTest)
#include "DialogFileTest.moc"
