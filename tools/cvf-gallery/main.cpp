// cvf-gallery OUTDIR
//
// Writes PNG pictures of the display widgets into OUTDIR: the backdrop
// dialog with its labels, buttons and progress bar in several workflow
// looks, the bar at several percentages, the button in each state, and the
// backdrop placement modes. Runs on the offscreen platform unless
// QT_QPA_PLATFORM says otherwise.

#include "widgets/BackdropDialog.h"
#include "res/ResourceIds.h"
#include "widgets/ColorLabel.h"
#include "widgets/PercentBar.h"
#include "widgets/ShapedButton.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMouseEvent>
#include <QPainter>

#include <cmath>
#include <cstdio>
#include <vector>

namespace {

// Dialog units of an 8-point dialog font: 6 x 13 pixel base units.
QRect DialogUnits(int x, int y, int w, int h)
{
    auto px = [](int du) { return static_cast<int>(std::lround(du * 6.0 / 4.0)); };
    auto py = [](int du) { return static_cast<int>(std::lround(du * 13.0 / 8.0)); };
    return QRect(px(x), py(y), px(w), py(h));
}

// The main window's arrangement: backdrop, seven labels, bar, three buttons.
class GalleryWindow : public CBackdropDialog {
public:
    CColorLabel* info[3];
    CColorLabel* status[4];
    CPercentBar* bar;
    CShapedButton* main;
    CShapedButton* yes;
    CShapedButton* no;

    GalleryWindow()
    {
        QFont dialogFont = font();
        dialogFont.setPixelSize(11);
        setFont(dialogFont);
        resize(440, 456);
        SetBackdropBitmap(IDB_BACKDROP, Stretch);

        const int infoTop[3] = {90, 102, 114};
        const int statusTop[4] = {179, 191, 203, 219};
        for (int i = 0; i < 3; ++i) {
            info[i] = MakeLabel(DialogUnits(2, infoTop[i], 289, 15), false);
        }
        for (int i = 0; i < 4; ++i) {
            status[i] = MakeLabel(DialogUnits(2, statusTop[i], 289, 15), true);
        }
        bar = new CPercentBar(this);
        bar->setGeometry(DialogUnits(45, 233, 203, 20));
        bar->setFrameStyle(QFrame::Box | QFrame::Plain);
        bar->SetRange(0, 100);
        bar->hide();

        main = MakeButton(DialogUnits(115, 234, 63, 19), QStringLiteral("start"));
        no = MakeButton(DialogUnits(155, 234, 63, 19), QStringLiteral("No"));
        yes = MakeButton(DialogUnits(75, 234, 63, 19), QStringLiteral("Yes"));
        no->hide();
        yes->hide();
        info[0]->SetLabelText(QStringLiteral("Firmware Update Tool"));
    }

    void SetStatus(const QString& s1, const QString& s2, const QString& s3, const QString& s4)
    {
        status[0]->SetLabelText(s1);
        status[1]->SetLabelText(s2);
        status[2]->SetLabelText(s3);
        status[3]->SetLabelText(s4);
    }

private:
    CColorLabel* MakeLabel(const QRect& geometry, bool bold)
    {
        auto* label = new CColorLabel(this);
        label->setGeometry(geometry);
        label->setAlignment(Qt::AlignCenter);
        label->SetLabelFont(9, bold, false, QStringLiteral("Tahoma"));
        label->SetTransparent(true);
        return label;
    }

    CShapedButton* MakeButton(const QRect& geometry, const QString& text)
    {
        auto* button = new CShapedButton(this);
        button->setGeometry(geometry);
        button->SetBitmaps(IDB_BUTTON, IDB_BUTTON_PRESSED, IDB_BUTTON_HOVER, 0, IDB_BUTTON_HOVER, IDB_BUTTON_MASK, DrawAsIs, 0, 0);
        button->setText(text);
        return button;
    }
};

class Gallery {
public:
    explicit Gallery(QString dir) : m_dir(std::move(dir)) {}

    bool Save(const QImage& image, const QString& name)
    {
        const QString path = QDir(m_dir).filePath(name);
        if (!image.save(path, "PNG")) {
            std::fprintf(stderr, "cvf-gallery: cannot write %s\n", qPrintable(path));
            m_ok = false;
            return false;
        }
        std::printf("%s\n", qPrintable(path));
        return true;
    }
    bool Ok() const { return m_ok; }

private:
    QString m_dir;
    bool m_ok = true;
};

QImage Grab(QWidget& widget, const QRect& area = QRect())
{
    return widget.grab(area.isNull() ? widget.rect() : area).toImage();
}

void SendMouse(QWidget& widget, QEvent::Type type, QPoint local, Qt::MouseButton button, Qt::MouseButtons buttons)
{
    QMouseEvent event(type, QPointF(local), QPointF(widget.mapToGlobal(local)), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(&widget, &event);
}

void WaitActive(QWidget& window)
{
    window.show();
    window.activateWindow();
    QElapsedTimer timer;
    timer.start();
    while (!window.isActiveWindow() && timer.elapsed() < 2000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    QCoreApplication::processEvents();
}

// Several pictures side by side, each scaled up, with a caption below.
QImage Montage(const std::vector<std::pair<QString, QImage>>& parts, int scale)
{
    int width = 10;
    int height = 0;
    for (const auto& part : parts) {
        width += part.second.width() * scale + 10;
        height = std::max(height, part.second.height() * scale);
    }
    QImage sheet(width, height + 40, QImage::Format_RGB32);
    sheet.fill(QColor(245, 245, 245));
    QPainter painter(&sheet);
    int x = 10;
    for (const auto& part : parts) {
        const QSize size = part.second.size() * scale;
        painter.drawImage(QRect(QPoint(x, 10), size), part.second);
        painter.setPen(Qt::black);
        painter.drawText(QRect(x, 14 + size.height(), size.width(), 20), Qt::AlignCenter, part.first);
        x += size.width() + 10;
    }
    return sheet;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: cvf-gallery OUTDIR\n");
        return 2;
    }
    const QString outDir = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(outDir)) {
        std::fprintf(stderr, "cvf-gallery: cannot create %s\n", argv[1]);
        return 1;
    }
    if (!QFile::exists(QStringLiteral(":/bitmap/163"))) {
        std::fprintf(stderr, "cvf-gallery: the artwork is not built in\n");
        return 1;
    }
    Gallery gallery(outDir);

    // The main window in the looks of the workflow.
    GalleryWindow window;
    WaitActive(window);
    window.main->setFocus();
    gallery.Save(Grab(window), QStringLiteral("window-welcome.png"));

    window.main->setText(QStringLiteral("Load file"));
    window.SetStatus(QStringLiteral("Turn your device to update mode"), QStringLiteral("and connect it to your PC."),
                     QStringLiteral("The update will take about 3 to 10 minutes."),
                     QStringLiteral("Click on the button to load the firmware file"));
    gallery.Save(Grab(window), QStringLiteral("window-instructions.png"));

    window.main->hide();
    window.info[0]->SetLabelText(QStringLiteral("DEMO compatible fimware file loaded."));
    window.info[1]->SetLabelText(QStringLiteral("Software Version:"));
    window.info[2]->SetLabelText(QStringLiteral("V2.10  2026-12-07"));
    window.SetStatus(QStringLiteral("Firmware update started"), QStringLiteral("Remaining time:"),
                     QStringLiteral("3 min 12 sec"), QStringLiteral(" "));
    window.bar->show();
    window.bar->SetPos(47);
    gallery.Save(Grab(window), QStringLiteral("window-transfer.png"));

    window.bar->hide();
    window.yes->show();
    window.no->show();
    window.SetStatus(QStringLiteral("Have found a DEMO compatible device."), QStringLiteral("Current software version:"),
                     QStringLiteral("V2.03  2025-04-11"), QStringLiteral("Would you like to execute the update now?"));
    window.status[3]->SetLabelTextColor(QColor(10, 39, 204));
    window.yes->setFocus();
    gallery.Save(Grab(window), QStringLiteral("window-question.png"));

    // The bar at several positions, as the window shows it.
    window.yes->hide();
    window.no->hide();
    window.bar->show();
    std::vector<std::pair<QString, QImage>> bars;
    for (int pos : {0, 25, 50, 75, 100, 120}) {
        window.bar->SetPos(pos);
        const QImage shot = Grab(*window.bar);
        gallery.Save(shot, QStringLiteral("bar-%1.png").arg(pos, 3, 10, QLatin1Char('0')));
        bars.emplace_back(QStringLiteral("%1").arg(pos), shot);
    }
    gallery.Save(Montage(bars, 1), QStringLiteral("bar-all.png"));
    window.bar->hide();

    // The button in each state, with the backdrop around it.
    window.main->show();
    window.main->setText(QStringLiteral("continue"));
    window.setFocus();
    const QRect around = window.main->geometry().adjusted(-6, -6, 6, 6);
    std::vector<std::pair<QString, QImage>> buttons;
    auto shoot = [&](const QString& state) {
        const QImage shot = Grab(window, around);
        gallery.Save(shot, QStringLiteral("button-%1.png").arg(state));
        buttons.emplace_back(state, shot);
    };
    shoot(QStringLiteral("normal"));
    SendMouse(*window.main, QEvent::MouseMove, QPoint(40, 15), Qt::NoButton, Qt::NoButton);
    shoot(QStringLiteral("hover"));
    SendMouse(*window.main, QEvent::MouseButtonPress, QPoint(40, 15), Qt::LeftButton, Qt::LeftButton);
    shoot(QStringLiteral("pressed"));
    SendMouse(*window.main, QEvent::MouseMove, QPoint(200, 100), Qt::NoButton, Qt::LeftButton);
    SendMouse(*window.main, QEvent::MouseButtonRelease, QPoint(200, 100), Qt::LeftButton, Qt::NoButton);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(window.main, &leave);
    window.main->setFocus();
    shoot(QStringLiteral("focus"));
    window.setFocus();
    window.main->setEnabled(false);
    shoot(QStringLiteral("disabled"));
    window.main->setEnabled(true);
    gallery.Save(Montage(buttons, 3), QStringLiteral("button-states.png"));

    // The placement modes in a window larger than the picture.
    for (const auto& [mode, name] : {std::pair{int(Tile), "tile"}, {int(Stretch), "stretch"}, {int(Center), "center"}}) {
        CBackdropDialog dialog;
        dialog.resize(560, 400);
        dialog.SetBackdropBitmap(IDB_BACKDROP, mode);
        gallery.Save(Grab(dialog), QStringLiteral("backdrop-%1.png").arg(QLatin1String(name)));
    }
    return gallery.Ok() ? 0 : 1;
}
