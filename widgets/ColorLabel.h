#pragma once
// A text label with its own font and text colour and, by default, a
// transparent background, so that its text stands directly on whatever its
// parent paints (the backdrop of a CBackdropDialog). The text is always
// plain text: names and replies from files and devices are shown as they
// are, never read as markup.

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QString>

class CColorLabel : public QLabel {
    Q_OBJECT
public:
    explicit CColorLabel(QWidget* parent = nullptr);
    ~CColorLabel() override;

    // Font of the given size in points (converted to pixels with the
    // label's vertical resolution), bold or normal weight, italic or not.
    // A face the system does not have falls back (ResolveFace). Always true.
    bool SetLabelFont(int points, bool bold, bool italic, const QString& faceName);
    bool SetLabelFontIndirect(const QFont& font);
    bool SetTransparent(bool transparent);
    bool SetLabelTextColor(const QColor& color);
    // Sets the text and repaints the label and the parent's area under it
    // before returning.
    void SetLabelText(const QString& text);

    bool IsTransparent() const { return m_bTransparent; }
    QColor LabelTextColor() const { return m_crText; }
    QColor LabelBackColor() const { return m_crBack; }

    // The face used for faceName: faceName itself if the system has it,
    // otherwise the first installed of a few plain sans-serif faces of
    // similar width (Liberation Sans, Arimo, Nimbus Sans, Arial, Helvetica,
    // DejaVu Sans Condensed), otherwise the general font's family.
    static QString ResolveFace(const QString& faceName);

private:
    void ApplyColors();

    QFont m_font;
    QColor m_crText;
    QColor m_crBack;
    bool m_bTransparent = true;
};
