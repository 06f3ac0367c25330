#pragma once
// A push button drawn from bitmaps: one face each for normal, pressed,
// mouse over, focused and disabled, drawn through a mask so that the masked
// parts show what lies behind, and shaped by that mask (the widget's mask
// is the region of the mask's non-white pixels). It keeps the pressed look
// in step with the cursor while held and can act as a check box or radio
// button.

#include <QAbstractButton>
#include <QEvent>
#include <QColor>
#include <QImage>
#include <QRect>
#include <QRegion>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

enum ButtonDrawMode : int16_t { DrawAsIs = 0, DrawStretch = 1, DrawTile = 2 };
enum ButtonCheckKind { CheckKindPush = 0, CheckKindCheckBox = 2, CheckKindRadio = 4 };

// A growable list of rectangles: room for 40 at first, grown by 40
// whenever it is full, the old contents copied over.
class CMaskRectList {
public:
    static constexpr int kGrowBy = 40;

    CMaskRectList();
    void Append(const QRect& rect);
    int Count() const { return m_nCount; }
    int Capacity() const { return m_nCapacity; }
    const QRect& operator[](int i) const { return m_rects[static_cast<size_t>(i)]; }
    std::vector<QRect> ToVector() const;

private:
    std::unique_ptr<QRect[]> m_rects;
    int m_nCount = 0;
    int m_nCapacity = 0;
};

class CShapedButton : public QAbstractButton {
    Q_OBJECT
public:
    // Posted to the other buttons of the group when a radio button is checked.
    static const QEvent::Type UncheckEvent;

    explicit CShapedButton(QWidget* parent = nullptr, int checkKind = CheckKindPush);
    ~CShapedButton() override;

    // Loads the faces from bitmap resources ":/bitmap/<id>" (0: none).
    // Disabled ID 0 takes a copy of the normal face; a disabled ID that
    // cannot be loaded leaves that face empty (the button colour is drawn),
    // like any other face that cannot be loaded. With a mask the
    // widget gets the mask's shape; in DrawAsIs mode it also takes the
    // mask's size. Without a mask (ID 0, or one that cannot be loaded) the
    // widget keeps its shape and size.
    void SetBitmaps(unsigned normal, unsigned down, unsigned hover, unsigned disabled, unsigned focus,
                    unsigned mask, int16_t drawMode, int16_t drawEdge, int16_t inset);
    // The same from images (null: none; a null disabled face takes the
    // normal one).
    void SetBitmapImages(const QImage& normal, const QImage& down, const QImage& hover, const QImage& disabled,
                         const QImage& focus, const QImage& mask, int16_t drawMode, int16_t drawEdge,
                         int16_t inset);

    // The rectangles of the mask's non-transparent pixels: rows from the
    // bottom up, in each row one rectangle per run of such pixels, left to
    // right; runs are not merged across rows.
    static CMaskRectList MaskRects(const QImage& mask, QRgb transparent);
    // Their union; none for a null image, an empty region when every pixel
    // is transparent.
    static std::optional<QRegion> RegionFromMask(const QImage& mask, QRgb transparent);

    // Check state: 0 or 1. Push buttons always stay unchecked; checking a
    // radio button unchecks the other shaped buttons with the same parent.
    void SetCheck(int check);
    int GetCheck() const { return m_bChecked ? 1 : 0; }
    int CheckKind() const { return m_nCheckKind; }
    void SetCheckKind(int kind);
    // Kept for its name only: on Qt no native window is attached, so nothing
    // calls it (the kind comes with the constructor or SetCheckKind). It
    // sets the kind from a classic button style value: auto check box (style & 3 == 3) or auto radio
    // button (style & 9 == 9); anything else is a push button.
    virtual void PreSubclassWindow(unsigned style);

    bool HasRegion() const { return m_hRgn.has_value(); }
    QRegion Region() const { return m_hRgn.value_or(QRegion()); }
    bool IsHover() const { return m_bHover; }
    bool IsLButtonDown() const { return m_bLButtonDown; }
    int DrawModeValue() const { return m_nDrawMode; }
    QColor TextColor() const { return m_crText; }
    void SetTextColor(const QColor& color);

    // The caption the button draws (the same as setText).
    void SetWindowText(const QString& text);

    QSize sizeHint() const override;

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void leaveEvent(QEvent* event) override;
    bool hitButton(const QPoint& pos) const override;

    // Draws the button for its current state.
    virtual void DrawItem(QPainter& painter);
    void DrawButtonBitmap(QPainter& painter, const QImage& bitmap, const QRect& rect, int drawMode) const;
    void TileBitmap(QPainter& painter, const QImage& bitmap, const QRect& rect) const;

private:
    void ApplyBitmaps(const QImage& normal, const QImage& down, const QImage& hover, const QImage& disabled,
                      bool disabledFromNormal, const QImage& focus, const QImage& mask, int16_t drawMode,
                      int16_t drawEdge, int16_t inset);
    void ApplyRegion(const QRegion& region);

    bool m_bChecked = false;
    int m_nCheckKind = CheckKindPush;
    bool m_bHover = false;
    bool m_bLButtonDown = false;
    QImage m_bmpNormal;
    QImage m_bmpDown;
    QImage m_bmpDisabled;
    QImage m_bmpMask;
    QImage m_bmpHover;
    QImage m_bmpFocus;
    int16_t m_nInset = 0;
    QColor m_crText;
    std::optional<QRegion> m_hRgn;
    int m_bDrawEdge = 0;
    int16_t m_nDrawMode = DrawStretch;
    QImage m_maskAlpha;   // opaque where the mask is not white
};
