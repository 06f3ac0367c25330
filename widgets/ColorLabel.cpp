#include "widgets/ColorLabel.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QPalette>

#include <algorithm>
#include <cmath>

CColorLabel::CColorLabel(QWidget* parent)
    : QLabel(parent),
      m_crText(palette().color(QPalette::Active, QPalette::WindowText)),
      m_crBack(palette().color(QPalette::Active, QPalette::Base))
{
    // Texts come from files and devices: "<s>" or "<img src=...>" in them
    // must show as written, not as rich text (which would load the file).
    setTextFormat(Qt::PlainText);
    // The label takes no mouse input: a press on it is a press on the
    // parent, so dragging it drags the backdrop dialog.
    setAttribute(Qt::WA_TransparentForMouseEvents);
    ApplyColors();
}

CColorLabel::~CColorLabel() = default;

QString CColorLabel::ResolveFace(const QString& faceName)
{
    if (!faceName.isEmpty() && QFontDatabase::hasFamily(faceName)) {
        return faceName;
    }
    // Plain sans-serif faces about as wide as the usual dialog faces, so that
    // texts sized for those still fit their labels; the widest last.
    static const char* const kFallbackFaces[] = {
        "Liberation Sans", "Arimo", "Nimbus Sans", "Arial", "Helvetica", "DejaVu Sans Condensed",
    };
    for (const char* face : kFallbackFaces) {
        if (QFontDatabase::hasFamily(QString::fromLatin1(face))) {
            return QString::fromLatin1(face);
        }
    }
    // The family the general font really resolves to (its own name may be
    // an alias such as "Sans Serif").
    return QFontInfo(QFontDatabase::systemFont(QFontDatabase::GeneralFont)).family();
}

bool CColorLabel::SetLabelFont(int points, bool bold, bool italic, const QString& faceName)
{
    QFont font;
    font.setFamilies({ResolveFace(faceName)});
    font.setStyleHint(QFont::SansSerif);
    // Character height in pixels from the point size and the vertical
    // resolution, rounded like MulDiv.
    const int dpiY = logicalDpiY() > 0 ? logicalDpiY() : 96;
    font.setPixelSize(std::max(1, static_cast<int>(std::lround(points * static_cast<double>(dpiY) / 72.0))));
    font.setWeight(bold ? QFont::Bold : QFont::Normal);
    font.setItalic(italic);
    return SetLabelFontIndirect(font);
}

bool CColorLabel::SetLabelFontIndirect(const QFont& font)
{
    m_font = font;
    setFont(m_font);
    return true;
}

bool CColorLabel::SetTransparent(bool transparent)
{
    m_bTransparent = transparent;
    ApplyColors();
    update();
    return true;
}

bool CColorLabel::SetLabelTextColor(const QColor& color)
{
    m_crText = color;
    ApplyColors();
    update();
    return true;
}

void CColorLabel::ApplyColors()
{
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, m_crText);
    pal.setColor(QPalette::Window, m_crBack);
    setPalette(pal);
    // Transparent: nothing is filled, the parent shows through.
    setAutoFillBackground(!m_bTransparent);
}

void CColorLabel::SetLabelText(const QString& text)
{
    setText(text);
    // Repaint the label, then the parent's area under it, at once, so no
    // trace of a longer previous text stays on the backdrop.
    repaint();
    if (QWidget* parent = parentWidget()) {
        parent->repaint(geometry());
    }
}
