#include "widgets/PercentBar.h"

#include "widgets/BufferedDC.h"
#include "widgets/PercentBarAccessible.h"

#include <QAccessible>

#include <QPaintEvent>
#include <QPalette>
#include <QRegion>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Truncation toward zero, kept inside the int range.
int TruncToInt(double value)
{
    if (std::isnan(value)) {
        return 0;
    }
    constexpr double lo = static_cast<double>(std::numeric_limits<int>::min());
    constexpr double hi = static_cast<double>(std::numeric_limits<int>::max());
    if (value <= lo) {
        return std::numeric_limits<int>::min();
    }
    if (value >= hi) {
        return std::numeric_limits<int>::max();
    }
    return static_cast<int>(value);
}

} // namespace

CPercentBar::CPercentBar(QWidget* parent)
    : QFrame(parent),
      m_crBarFill(palette().color(QPalette::Active, QPalette::Highlight)),
      m_crBarBack(palette().color(QPalette::Active, QPalette::Base)),
      m_crTextOnBack(palette().color(QPalette::Active, QPalette::Highlight)),
      m_crTextOnBar(palette().color(QPalette::Active, QPalette::Base))
{
    // Every pixel is painted here; the parent need not be drawn underneath.
    setAttribute(Qt::WA_OpaquePaintEvent);
    CPercentBarAccessible::InstallFactory();
    m_reportLater.setSingleShot(true);
    connect(&m_reportLater, &QTimer::timeout, this, [this] { ReportPosition(); });
}

CPercentBar::~CPercentBar() = default;

void CPercentBar::SetRange(int min, int max)
{
    m_nMin = min;
    m_nMax = max;
}

double CPercentBar::Fraction() const
{
    const int min = m_nMin;
    const int max = m_nMax;
    if (min >= max) {
        return 0.0;
    }
    return (static_cast<double>(m_nPos) - min) / (static_cast<double>(max) - min);
}

int CPercentBar::BarWidthFor(int pos, int clientWidth) const
{
    const int min = m_nMin;
    const int max = m_nMax;
    if (min >= max) {
        return 0;
    }
    const double f = (static_cast<double>(pos) - min) / (static_cast<double>(max) - min);
    return TruncToInt(f * clientWidth);
}

int CPercentBar::SetPos(int pos)
{
    const int previous = m_nPos;
    m_nPos = pos;
    const int barWidth = BarWidthFor(pos, contentsRect().width());
    if (barWidth != m_nBarWidth) {
        m_nBarWidth = barWidth;
        repaint();
    }
    // Only a running screen reader is told (nothing is delivered otherwise).
    if (pos != previous && isVisible() && QAccessible::isActive()) {
        if (!m_sinceReport.isValid() || m_sinceReport.elapsed() >= kValueReportMs)
            ReportPosition();
        else if (!m_reportLater.isActive())
            m_reportLater.start(static_cast<int>(kValueReportMs - m_sinceReport.elapsed()));
    }
    return previous;
}

void CPercentBar::ReportPosition()
{
    m_reportLater.stop();
    if (!isVisible() || (m_nPos == m_nReportedPos && m_sinceReport.isValid()))
        return;
    m_nReportedPos = m_nPos;
    m_sinceReport.start();
    QAccessibleValueChangeEvent event(this, m_nPos);
    QAccessible::updateAccessibility(&event);
}

int CPercentBar::StepIt()
{
    // Wraps like the plain integers it stands for, without overflow.
    return SetPos(static_cast<int>(static_cast<unsigned>(m_nPos) + static_cast<unsigned>(m_nStepSize)));
}

int CPercentBar::SetStep(int step)
{
    const int previous = m_nStepSize;
    m_nStepSize = step;
    return previous;
}

void CPercentBar::SetWindowText(const QString& text)
{
    setWindowTitle(text);
}

QString CPercentBar::GetWindowText() const
{
    return m_strText;
}

void CPercentBar::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::WindowTitleChange) {
        const QString text = windowTitle();
        if (text != m_strText) {
            m_strText = text;
            update();
        }
    }
    QFrame::changeEvent(event);
}

void CPercentBar::resizeEvent(QResizeEvent* event)
{
    QFrame::resizeEvent(event);
    m_nBarWidth = -1;
}

QString CPercentBar::DisplayText() const
{
    if (!m_strText.isEmpty()) {
        return m_strText;
    }
    return PercentText();
}

QString CPercentBar::PercentText() const
{
    return QStringLiteral("%1%").arg(TruncToInt(Fraction() * 100.0));
}

void CPercentBar::paintEvent(QPaintEvent* event)
{
    CBufferedDC dc(this, event->rect());
    if (frameWidth() > 0) {
        drawFrame(&dc);
    }
    const QRect c = contentsRect();
    if (m_nMin >= m_nMax) {
        dc.fillRect(c, m_crBarBack);
        return;
    }
    const double f = Fraction();
    // The completed part may reach past the right edge (positions above the
    // maximum) or before the left one (below the minimum); both halves are
    // kept inside the client area.
    const int edge = c.left() + std::clamp(TruncToInt(static_cast<double>(c.width()) * f), 0, c.width());
    const QRect left(c.left(), c.top(), edge - c.left(), c.height());
    const QRect right(edge, c.top(), c.left() + c.width() - edge, c.height());
    dc.fillRect(left, m_crBarFill);
    dc.fillRect(right, m_crBarBack);

    if (m_bShowText) {
        const QString text = DisplayText();
        const int flags = Qt::AlignCenter | Qt::TextSingleLine;
        dc.setFont(font());
        dc.setClipRect(left);
        dc.setPen(m_crTextOnBar);
        dc.drawText(c, flags, text);
        dc.setClipRect(right);
        dc.setPen(m_crTextOnBack);
        dc.drawText(c, flags, text);
        dc.setClipping(false);
    }
}
