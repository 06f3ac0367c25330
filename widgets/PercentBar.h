#pragma once
// A progress bar that keeps its own range, position and step and paints
// itself: the completed part in one colour, the rest in another, and a
// centred text (by default the percentage, "%d%%") whose colour changes
// exactly at the edge of the bar.
//
// Assistive technology sees a progress bar with the position as its value
// (CPercentBarAccessible); a position change of a visible bar is reported
// to it, at most every kValueReportMs: a bar moved a hundred times in a
// moment would keep a screen reader busy for seconds with values it does
// not speak anyway, and behind on what matters. The last position is
// always reported.

#include <QColor>
#include <QElapsedTimer>
#include <QFrame>
#include <QString>
#include <QTimer>

class QPaintEvent;
class QResizeEvent;

class CPercentBar : public QFrame {
    Q_OBJECT
public:
    static constexpr int kValueReportMs = 500;

    explicit CPercentBar(QWidget* parent = nullptr);
    ~CPercentBar() override;

    // Stores the range; nothing is redrawn. The range is expected to be
    // non-empty (min < max); an empty one paints only the remaining colour.
    void SetRange(int min, int max);
    // Stores the position and returns the previous one. The bar is repainted
    // before this returns, but only when its width in whole pixels differs
    // from the width at the last repaint decision (always after a resize).
    int SetPos(int pos);
    // SetPos(position + step); returns the previous position.
    int StepIt();
    // Returns the previous step.
    int SetStep(int step);

    // Window text: a non-empty text is shown instead of the percentage; an
    // empty one brings the percentage back.
    void SetWindowText(const QString& text);
    QString GetWindowText() const;

    int GetPos() const { return m_nPos; }
    int GetStep() const { return m_nStepSize; }
    void GetRange(int& min, int& max) const { min = m_nMin; max = m_nMax; }
    // The text the bar shows now.
    QString DisplayText() const;
    // The percentage for the position ("42%"), shown when there is no
    // window text.
    QString PercentText() const;
    // Width in pixels of the completed part for a position, given the width
    // of the client area (truncated toward zero; may exceed the width).
    int BarWidthFor(int pos, int clientWidth) const;

    QColor m_crBarFill;
    QColor m_crBarBack;
    QColor m_crTextOnBack;
    QColor m_crTextOnBar;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    double Fraction() const;
    // Tells assistive technology the position, when it is a new one.
    void ReportPosition();

    int m_nPos = 0;
    int m_nStepSize = 1;
    int m_nMax = 100;
    int m_nMin = 0;
    QString m_strText;
    bool m_bShowText = true;
    int m_nBarWidth = -1;   // -1 forces the next repaint
    int m_nReportedPos = 0;          // the position last reported to assistive technology
    QElapsedTimer m_sinceReport;
    QTimer m_reportLater;
};
