#include "widgets/ShapedButton.h"

#include "widgets/DibImage.h"

#include <QCoreApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <qdrawutil.h>

#include <algorithm>
#include <cstring>

const QEvent::Type CShapedButton::UncheckEvent = static_cast<QEvent::Type>(QEvent::User + 256);

// ---------------------------------------------------------------- rectangles

CMaskRectList::CMaskRectList() : m_rects(new QRect[kGrowBy]), m_nCapacity(kGrowBy) {}

void CMaskRectList::Append(const QRect& rect)
{
    if (m_nCount == m_nCapacity) {
        const int capacity = m_nCapacity + kGrowBy;
        std::unique_ptr<QRect[]> larger(new QRect[static_cast<size_t>(capacity)]);
        std::copy(m_rects.get(), m_rects.get() + m_nCount, larger.get());
        m_rects = std::move(larger);
        m_nCapacity = capacity;
    }
    m_rects[static_cast<size_t>(m_nCount++)] = rect;
}

std::vector<QRect> CMaskRectList::ToVector() const
{
    return std::vector<QRect>(m_rects.get(), m_rects.get() + m_nCount);
}

CMaskRectList CShapedButton::MaskRects(const QImage& mask, QRgb transparent)
{
    CMaskRectList list;
    if (mask.isNull()) {
        return list;
    }
    const QImage rgb = mask.convertToFormat(QImage::Format_RGB32);
    const QRgb key = transparent & 0x00FFFFFFu;
    const int w = rgb.width();
    for (int y = rgb.height() - 1; y >= 0; --y) {
        const QRgb* row = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        int x = 0;
        while (x < w) {
            while (x < w && (row[x] & 0x00FFFFFFu) == key) {
                ++x;
            }
            if (x == w) {
                break;
            }
            const int a = x;
            while (x < w && (row[x] & 0x00FFFFFFu) != key) {
                ++x;
            }
            list.Append(QRect(a, y, x - a, 1));   // the run a .. x-1 of row y
        }
    }
    return list;
}

std::optional<QRegion> CShapedButton::RegionFromMask(const QImage& mask, QRgb transparent)
{
    if (mask.isNull()) {
        return std::nullopt;
    }
    const CMaskRectList rects = MaskRects(mask, transparent);
    // The union of all rectangles, formed pairwise so that a mask with many
    // holes does not cost one growing union per rectangle.
    std::vector<QRegion> parts;
    parts.reserve(static_cast<size_t>(rects.Count()));
    for (int i = 0; i < rects.Count(); ++i) {
        parts.emplace_back(rects[i]);
    }
    while (parts.size() > 1) {
        std::vector<QRegion> merged;
        merged.reserve((parts.size() + 1) / 2);
        for (size_t i = 0; i + 1 < parts.size(); i += 2) {
            merged.push_back(parts[i].united(parts[i + 1]));
        }
        if (parts.size() % 2 != 0) {
            merged.push_back(parts.back());
        }
        parts.swap(merged);
    }
    return parts.empty() ? QRegion() : parts.front();
}

// ---------------------------------------------------------------- button

CShapedButton::CShapedButton(QWidget* parent, int checkKind)
    : QAbstractButton(parent), m_crText(palette().color(QPalette::Active, QPalette::ButtonText))
{
    SetCheckKind(checkKind);
    setMouseTracking(true);   // hover needs moves without a button held
}

CShapedButton::~CShapedButton() = default;

void CShapedButton::SetCheckKind(int kind)
{
    m_nCheckKind = (kind == CheckKindCheckBox || kind == CheckKindRadio) ? kind : CheckKindPush;
    if (m_nCheckKind == CheckKindPush && m_bChecked) {
        m_bChecked = false;
        update();
    }
}

void CShapedButton::PreSubclassWindow(unsigned style)
{
    SetCheckKind((style & 3u) == 3u ? CheckKindCheckBox : (style & 9u) == 9u ? CheckKindRadio : CheckKindPush);
}

void CShapedButton::SetTextColor(const QColor& color)
{
    m_crText = color;
    update();
}

void CShapedButton::SetBitmaps(unsigned normal, unsigned down, unsigned hover, unsigned disabled, unsigned focus,
                               unsigned mask, int16_t drawMode, int16_t drawEdge, int16_t inset)
{
    auto load = [](unsigned id) { return (id & 0xFFFFu) == 0 ? QImage() : QImage(BitmapResourcePath(id)); };
    // Only "no disabled face" (ID 0) takes the normal one; an ID that
    // cannot be loaded leaves the disabled face empty.
    ApplyBitmaps(load(normal), load(down), load(hover), load(disabled), (disabled & 0xFFFFu) == 0, load(focus),
                 load(mask), drawMode, drawEdge, inset);
}

void CShapedButton::SetBitmapImages(const QImage& normal, const QImage& down, const QImage& hover,
                                    const QImage& disabled, const QImage& focus, const QImage& mask, int16_t drawMode,
                                    int16_t drawEdge, int16_t inset)
{
    ApplyBitmaps(normal, down, hover, disabled, disabled.isNull(), focus, mask, drawMode, drawEdge, inset);
}

void CShapedButton::ApplyBitmaps(const QImage& normal, const QImage& down, const QImage& hover,
                                 const QImage& disabled, bool disabledFromNormal, const QImage& focus,
                                 const QImage& mask, int16_t drawMode, int16_t drawEdge, int16_t inset)
{
    auto prepared = [](const QImage& image) {
        return image.isNull() ? QImage() : image.convertToFormat(QImage::Format_RGB32);
    };
    m_bmpNormal = prepared(normal);
    m_bmpDown = prepared(down);
    m_bmpHover = prepared(hover);
    m_bmpFocus = prepared(focus);
    m_bmpDisabled = disabledFromNormal ? m_bmpNormal : prepared(disabled);
    m_bmpMask = QImage();
    m_maskAlpha = QImage();

    m_nDrawMode = drawMode > 1 ? int16_t{DrawTile} : drawMode < 0 ? int16_t{DrawAsIs} : drawMode;
    m_bDrawEdge = drawEdge;
    m_nInset = inset < 0 ? int16_t{0} : inset;

    if (!mask.isNull()) {
        m_bmpMask = prepared(mask);
        // Alpha image for drawing through the mask: opaque where the mask
        // is not white, clear where it is.
        m_maskAlpha = QImage(m_bmpMask.size(), QImage::Format_ARGB32_Premultiplied);
        for (int y = 0; y < m_bmpMask.height(); ++y) {
            const QRgb* src = reinterpret_cast<const QRgb*>(m_bmpMask.constScanLine(y));
            QRgb* dst = reinterpret_cast<QRgb*>(m_maskAlpha.scanLine(y));
            for (int x = 0; x < m_bmpMask.width(); ++x) {
                dst[x] = (src[x] & 0x00FFFFFFu) == 0x00FFFFFFu ? 0u : 0xFFFFFFFFu;
            }
        }
        if (std::optional<QRegion> region = RegionFromMask(m_bmpMask, qRgb(255, 255, 255))) {
            ApplyRegion(*region);
        }
        if (m_nDrawMode == DrawAsIs) {
            resize(m_bmpMask.size());
        }
    }
    update();
}

void CShapedButton::ApplyRegion(const QRegion& region)
{
    m_hRgn = region;
    if (region.isEmpty()) {
        // An empty widget mask would mean "no mask" to Qt; a region that lies
        // outside the widget leaves nothing visible and nothing clickable.
        setMask(QRegion(-2, -2, 1, 1));
    } else {
        setMask(region);
    }
}

bool CShapedButton::hitButton(const QPoint& pos) const
{
    if (m_hRgn) {
        return m_hRgn->contains(pos);
    }
    return rect().contains(pos);
}

QSize CShapedButton::sizeHint() const
{
    if (!m_bmpMask.isNull() && m_nDrawMode == DrawAsIs) {
        return m_bmpMask.size();
    }
    if (!m_bmpNormal.isNull()) {
        return m_bmpNormal.size();
    }
    return QSize(75, 23);
}

void CShapedButton::SetCheck(int check)
{
    m_bChecked = check != 0 && m_nCheckKind != CheckKindPush;
    if (m_nCheckKind == CheckKindRadio && check != 0 && parentWidget() != nullptr) {
        const auto siblings = parentWidget()->findChildren<CShapedButton*>(QString(), Qt::FindDirectChildrenOnly);
        for (CShapedButton* other : siblings) {
            if (other != this) {
                QCoreApplication::postEvent(other, new QEvent(UncheckEvent));
            }
        }
    }
    update();
}

bool CShapedButton::event(QEvent* event)
{
    if (event->type() == UncheckEvent) {
        if (m_bChecked) {
            m_bChecked = false;
            update();
        }
        return true;
    }
    return QAbstractButton::event(event);
}

void CShapedButton::SetWindowText(const QString& text)
{
    setText(text);
}

// ---------------------------------------------------------------- mouse and keys

void CShapedButton::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QAbstractButton::mousePressEvent(event);
        return;
    }
    if (m_bHover) {
        m_bHover = false;
    }
    QAbstractButton::mousePressEvent(event);
    m_bLButtonDown = isDown();
}

void CShapedButton::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QAbstractButton::mouseReleaseEvent(event);
        return;
    }
    if (m_nCheckKind != CheckKindPush && hitButton(event->position().toPoint())) {
        SetCheck(m_nCheckKind == CheckKindCheckBox ? !m_bChecked : 1);
    }
    m_bLButtonDown = false;
    // Clicks only when released over the button while it is down.
    QAbstractButton::mouseReleaseEvent(event);
}

void CShapedButton::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint pos = event->position().toPoint();
    if (m_bLButtonDown && (event->buttons() & Qt::LeftButton)) {
        // While held, the pushed look follows the cursor in and out.
        const bool over = hitButton(pos);
        if (over != isDown()) {
            setDown(over);
            update();
        }
    } else if (!m_bHover && hitButton(pos)) {
        m_bHover = true;
        update();
    }
    // Not QAbstractButton's handler: it would push the button again after
    // a loss of focus has let it go.
    QWidget::mouseMoveEvent(event);
}

void CShapedButton::mouseDoubleClickEvent(QMouseEvent* event)
{
    // The second click of a double-click acts as a press, so a double-click
    // gives two clicks.
    if (event->button() == Qt::LeftButton && !isDown()) {
        mousePressEvent(event);
        return;
    }
    QAbstractButton::mouseDoubleClickEvent(event);
}

void CShapedButton::focusOutEvent(QFocusEvent* event)
{
    if (m_bLButtonDown) {
        // Losing the focus while held lets go without a click.
        m_bLButtonDown = false;
        setDown(false);
        update();
    }
    QAbstractButton::focusOutEvent(event);
}

void CShapedButton::keyPressEvent(QKeyEvent* event)
{
    if (m_nCheckKind != CheckKindPush && event->key() == Qt::Key_Space && !event->isAutoRepeat()) {
        SetCheck(m_nCheckKind == CheckKindCheckBox ? !m_bChecked : 1);
    }
    QAbstractButton::keyPressEvent(event);
}

void CShapedButton::leaveEvent(QEvent* event)
{
    m_bHover = false;
    update();
    QAbstractButton::leaveEvent(event);
}

// ---------------------------------------------------------------- drawing

void CShapedButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    DrawItem(painter);
}

void CShapedButton::DrawItem(QPainter& painter)
{
    const QString label = text();
    const QRect r = rect();
    QRect t(r.left() + m_nInset + 2, r.top(), r.width() - 2 * (m_nInset + 2), r.height());
    const QPalette& pal = palette();
    const int textFlags = Qt::AlignCenter | Qt::TextSingleLine;
    painter.setFont(font());

    if (!isEnabled()) {
        if (!m_bmpDisabled.isNull()) {
            DrawButtonBitmap(painter, m_bmpDisabled, r, m_nDrawMode);
        } else {
            painter.fillRect(r, pal.color(QPalette::Active, QPalette::Button));
        }
        if (m_bDrawEdge) {
            qDrawWinPanel(&painter, r, pal, false);
        }
        // Embossed: highlight at the normal place, grey one pixel up and left.
        painter.setPen(pal.color(QPalette::Active, QPalette::Light));
        painter.drawText(t, textFlags, label);
        t.translate(-1, -1);
        painter.setPen(pal.color(QPalette::Disabled, QPalette::WindowText));
        painter.drawText(t, textFlags, label);
        return;
    }

    bool sunken = false;
    if (isDown() || m_bChecked) {
        if (!m_bmpDown.isNull()) {
            DrawButtonBitmap(painter, m_bmpDown, r, m_nDrawMode);
        } else {
            painter.fillRect(r, pal.color(QPalette::Active, QPalette::Button));
        }
        t.translate(1, 1);
        sunken = true;
    } else if (m_bmpNormal.isNull()) {
        painter.fillRect(r, pal.color(QPalette::Active, QPalette::Button));
    } else if (m_bHover && !m_bmpHover.isNull()) {
        DrawButtonBitmap(painter, m_bmpHover, r, m_nDrawMode);
    } else if (hasFocus() && !m_bmpFocus.isNull()) {
        DrawButtonBitmap(painter, m_bmpFocus, r, m_nDrawMode);
    } else {
        DrawButtonBitmap(painter, m_bmpNormal, r, m_nDrawMode);
    }

    if (m_bDrawEdge) {
        qDrawWinPanel(&painter, r, pal, sunken);
    }
    if (hasFocus() && m_nInset > 0) {
        QStyleOptionFocusRect option;
        option.initFrom(this);
        option.rect = r.adjusted(m_nInset, m_nInset, -m_nInset, -m_nInset);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
    }
    painter.setPen(m_crText);
    painter.drawText(t, textFlags, label);
}

void CShapedButton::DrawButtonBitmap(QPainter& painter, const QImage& bitmap, const QRect& rect, int drawMode) const
{
    if (bitmap.isNull() || rect.isEmpty()) {
        return;
    }
    if (drawMode == DrawTile) {
        TileBitmap(painter, bitmap, rect);
        return;
    }
    const QRect target(QPoint(0, 0), rect.size());
    if (m_maskAlpha.isNull()) {
        if (drawMode == DrawStretch) {
            painter.drawImage(rect, bitmap);
        } else {
            painter.drawImage(rect.topLeft(), bitmap, target);
        }
        return;
    }
    // Face and mask combined off-screen; where the mask is white the face
    // is left out and what lies behind the button shows.
    QImage face(rect.size(), QImage::Format_ARGB32_Premultiplied);
    face.fill(Qt::transparent);
    {
        QPainter p(&face);
        if (drawMode == DrawStretch) {
            // The mask is stretched from the face's full size, like the
            // face: a larger mask gives its top-left part; beyond a smaller
            // one nothing of the face is kept.
            const QRect source = bitmap.rect();
            p.drawImage(target, bitmap);
            p.setCompositionMode(QPainter::CompositionMode_DestinationIn);
            if (m_maskAlpha.rect().contains(source)) {
                p.drawImage(target, m_maskAlpha, source);
            } else {
                p.drawImage(target, m_maskAlpha.copy(source));
            }
        } else {
            p.drawImage(QPoint(0, 0), bitmap);
            p.setCompositionMode(QPainter::CompositionMode_DestinationIn);
            p.drawImage(QPoint(0, 0), m_maskAlpha);
        }
    }
    painter.drawImage(rect.topLeft(), face);
}

void CShapedButton::TileBitmap(QPainter& painter, const QImage& bitmap, const QRect& rect) const
{
    const int bw = bitmap.width();
    const int bh = bitmap.height();
    for (int y = rect.top(); y <= rect.bottom(); y += bh) {
        for (int x = rect.left(); x <= rect.right(); x += bw) {
            const int w = std::min(bw, rect.right() + 1 - x);
            const int h = std::min(bh, rect.bottom() + 1 - y);
            painter.drawImage(QPoint(x, y), bitmap, QRect(0, 0, w, h));
        }
    }
}
