#include "qtsupport/carboncontrols.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QToolButton>
#include <QWidget>
#include <cstddef>

#include "base/KyAssert.h"
#include "qtsupport/Announce.h"
#include "qtsupport/Legibility.h"

namespace {

constexpr const char* kReferenceProperty = "controlReference";

QColor ToQColor(RGBColor c) {
    return QColor::fromRgba64(c.red, c.green, c.blue);
}

Qt::Alignment Justification(short justify) {
    switch (justify) {
        case 1:
            return Qt::AlignHCenter | Qt::AlignVCenter;
        case -1:
            return Qt::AlignRight | Qt::AlignVCenter;
        default:
            return Qt::AlignLeft | Qt::AlignVCenter;
    }
}

void SetTextOf(QWidget* w, const QString& text) {
    if (auto* label = qobject_cast<QLabel*>(w)) return label->setText(text);
    if (auto* edit = qobject_cast<QLineEdit*>(w)) return edit->setText(text);
    if (auto* button = qobject_cast<QAbstractButton*>(w)) return button->setText(text);
    if (auto* group = qobject_cast<QGroupBox*>(w)) return group->setTitle(text);
    w->setWindowTitle(text);
}

// The range of a control that has one: a progress bar, slider or spin box.
template <class F>
void WithRange(QWidget* w, F&& f) {
    if (auto* bar = qobject_cast<QProgressBar*>(w)) return f(*bar);
    if (auto* slider = qobject_cast<QAbstractSlider*>(w)) return f(*slider);
    if (auto* spin = qobject_cast<QSpinBox*>(w)) return f(*spin);
}

}  // namespace

OSStatus CControl::Init(ControlID id, WindowRef window) {
    _id = id;
    _window = window;
    _controlRef = nullptr;
    if (!window) return errUnknownControl;
    const QString signature = QString::fromStdString(FourCharText(id.signature));
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (w->property("controlSignature").toString() == signature &&
            w->property("controlID").toInt() == id.id) {
            _controlRef = w;
            return noErr;
        }
    }
    return errUnknownControl;
}

void CControl::TestControl() const {
    KY_ASSERT(_controlRef != NULL);
}

void CControl::SetTitle(const char* title) {
    TestControl();
    SetTextOf(_controlRef, ShownText(title ? title : ""));
}

void CControl::SetText(const char* text) {
    TestControl();
    const auto* label = qobject_cast<QLabel*>(_controlRef);
    const QString before = label ? label->text() : QString();
    SetTextOf(_controlRef, ShownText(text ? text : ""));
    ky::TextSet(_controlRef, before);
    Draw();
}

std::string CControl::GetText() {
    TestControl();
    if (auto* label = qobject_cast<QLabel*>(_controlRef)) return label->text().toStdString();
    if (auto* edit = qobject_cast<QLineEdit*>(_controlRef)) return edit->text().toStdString();
    if (auto* button = qobject_cast<QAbstractButton*>(_controlRef))
        return button->text().toStdString();
    return _controlRef->windowTitle().toStdString();
}

void CControl::Enable(bool enable) {
    TestControl();
    _controlRef->setEnabled(enable);
}

void CControl::Disable() {
    TestControl();
    _controlRef->setEnabled(false);
}

void CControl::SetVisibility(Boolean visible) {
    TestControl();
    const bool wasHidden = _controlRef->isHidden();
    _controlRef->setVisible(visible != 0);
    ky::VisibilitySet(_controlRef, wasHidden);
    if (visible) _controlRef->repaint();
}

void CControl::SetValue(long value) {
    TestControl();
    if (auto* box = qobject_cast<QCheckBox*>(_controlRef)) {
        box->setTristate(box->isTristate() || value == 2);
        return box->setCheckState(value == 2 ? Qt::PartiallyChecked
                                  : value    ? Qt::Checked
                                             : Qt::Unchecked);
    }
    if (auto* combo = qobject_cast<QComboBox*>(_controlRef))
        return combo->setCurrentIndex(static_cast<int>(value) - 1);  // items count from 1
    WithRange(_controlRef, [&](auto& c) { c.setValue(static_cast<int>(value)); });
}

long CControl::GetValue() {
    TestControl();
    if (auto* box = qobject_cast<QCheckBox*>(_controlRef))
        return box->checkState() == Qt::PartiallyChecked ? 2 : box->isChecked() ? 1 : 0;
    if (auto* combo = qobject_cast<QComboBox*>(_controlRef)) return combo->currentIndex() + 1;
    long value = 0;
    WithRange(_controlRef, [&](auto& c) { value = c.value(); });
    return value;
}

void CControl::SetMaximum(short max) {
    TestControl();
    WithRange(_controlRef, [&](auto& c) { c.setMaximum(max); });
}

void CControl::SetMinimum(short min) {
    TestControl();
    WithRange(_controlRef, [&](auto& c) { c.setMinimum(min); });
}

short CControl::GetMaximum() {
    TestControl();
    short value = 0;
    WithRange(_controlRef, [&](auto& c) { value = static_cast<short>(c.maximum()); });
    return value;
}

short CControl::GetMinimum() {
    TestControl();
    short value = 0;
    WithRange(_controlRef, [&](auto& c) { value = static_cast<short>(c.minimum()); });
    return value;
}

void CControl::Draw() {
    TestControl();
    _controlRef->repaint();
}

void CControl::SetFontControlStyle(short size, short justify, RGBColor foreColor) {
    SetFontSize(size);
    SetFontJustification(justify);
    SetFontForeColor(foreColor);
}

void CControl::SetFontSize(short size) {
    TestControl();
    QFont font = _controlRef->font();
    font.setPointSize(size);
    _controlRef->setFont(font);
}

void CControl::SetFontStyle(short style) {
    TestControl();
    QFont font = _controlRef->font();
    font.setBold(style & 1);
    font.setItalic(style & 2);
    font.setUnderline(style & 4);
    _controlRef->setFont(font);
}

void CControl::SetFontForeColor(RGBColor color) {
    TestControl();
    ky::KeepLegible(_controlRef, ToQColor(color));  // the hue asked for, readable on any theme
}

void CControl::SetFontBackColor(RGBColor color) {
    TestControl();
    QPalette palette = _controlRef->palette();
    for (auto role : {QPalette::Window, QPalette::Base, QPalette::Button})
        palette.setColor(role, ToQColor(color));
    _controlRef->setPalette(palette);
    _controlRef->setAutoFillBackground(true);
}

void CControl::SetFontJustification(short justify) {
    TestControl();
    if (auto* label = qobject_cast<QLabel*>(_controlRef))
        label->setAlignment(Justification(justify));
    if (auto* edit = qobject_cast<QLineEdit*>(_controlRef))
        edit->setAlignment(Justification(justify));
}

void CControl::SetupEventHandler(UInt32 eventKind, EventHandlerUPP eventHandler, void* eventData) {
    InstallControlEventHandler(_controlRef, eventHandler, {kEventClassControl, eventKind},
                               eventData);
}

void CControl::SetAction(ControlActionUPP controlActionUPP) {
    auto* slider = qobject_cast<QAbstractSlider*>(_controlRef);
    if (!slider) return;
    QObject::connect(slider, &QAbstractSlider::actionTriggered, slider,
                     [slider, controlActionUPP](int part) {
                         controlActionUPP(slider, static_cast<SInt16>(part));
                     });
}

void CControl::SetReference(long data) {
    if (_controlRef) _controlRef->setProperty(kReferenceProperty, qlonglong(data));
}

long CControl::GetReference() {
    return _controlRef ? static_cast<long>(_controlRef->property(kReferenceProperty).toLongLong())
                       : 0;
}

MenuRef CPopupControl::GetMenuHandle() {
    TestControl();
    if (auto* combo = qobject_cast<QComboBox*>(_controlRef)) return combo;
    if (auto* push = qobject_cast<QPushButton*>(_controlRef)) return push->menu();
    if (auto* tool = qobject_cast<QToolButton*>(_controlRef)) return tool->menu();
    return nullptr;
}

void CCheckBox::Check() {
    TestControl();
    SetValue(1);
}

void CCheckBox::UnCheck() {
    TestControl();
    SetValue(0);
}

bool CCheckBox::IsChecked() {
    TestControl();
    return GetValue() == 1;
}

void CEdit::SetValue(std::string stringValue) {
    if (auto* edit = qobject_cast<QLineEdit*>(_controlRef)) edit->setText(ShownText(stringValue));
}

void CEdit::SetValue(char* charStringValue) {
    SetValue(std::string(charStringValue ? charStringValue : ""));
}

void CEdit::GetValue(std::string& stringValue) {
    auto* edit = qobject_cast<QLineEdit*>(_controlRef);
    stringValue = edit ? edit->text().toStdString().substr(0, 8) : std::string();
}

// ---- menus ----------------------------------------------------------------------

namespace {

constexpr std::size_t kMaxMenuText = 255;

// One item of a menu or of a pop-up button's list.
struct MenuItem {
    QString text;
    bool enabled = true;
    bool separator = false;
    bool checked = false;
    QChar shortcut;
};

void AddItem(MenuRef handle, const MenuItem& item) {
    if (auto* combo = qobject_cast<QComboBox*>(handle)) {
        if (item.separator) return combo->insertSeparator(combo->count());
        combo->addItem(item.text);
        return;
    }
    auto* menu = qobject_cast<QMenu*>(handle);
    if (!menu) return;
    if (item.separator) {
        menu->addSeparator();
        return;
    }
    QAction* action = menu->addAction(item.text);
    action->setEnabled(item.enabled);
    if (item.checked) {
        action->setCheckable(true);
        action->setChecked(true);
    }
    if (!item.shortcut.isNull())
        action->setShortcut(QKeySequence(QStringLiteral("Ctrl+") + item.shortcut));
}

MenuItem ParseItem(const QString& text) {
    MenuItem item;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        const bool hasArgument = i + 1 < text.size();
        if (c == '(') {
            item.enabled = false;
        } else if ((c == '/' || c == '!' || c == '<' || c == '^') && hasArgument) {
            if (c == '/') item.shortcut = text[i + 1];
            if (c == '!') item.checked = true;
            ++i;
        } else {
            item.text.append(c);
        }
    }
    item.separator = item.text == "-";
    return item;
}

}  // namespace

void CMenu::Reset() {
    for (int count = CountItems(); count > 0; --count) {
        if (auto* combo = qobject_cast<QComboBox*>(_handle)) combo->removeItem(0);
        if (auto* menu = qobject_cast<QMenu*>(_handle)) menu->removeAction(menu->actions().first());
    }
}

void CMenu::Init(std::string* menuItems) {
    Reset();
    for (std::string* item = menuItems; item && !item->empty(); ++item) Append(item->c_str());
}

void CMenu::Append(const char* menuString) {
    const std::string text(menuString ? menuString : "");
    const QString items = ShownText(text.substr(0, kMaxMenuText));
    for (const QString& item : items.split(';')) AddItem(_handle, ParseItem(item));
}

void CMenu::Append(std::string menuString) {
    Append(menuString.c_str());
}

void CMenu::Append(const unsigned char* menuString) {
    if (!menuString) return;
    const std::string text(reinterpret_cast<const char*>(menuString + 1), menuString[0]);
    Append(text.c_str());
}

void CMenu::Append(const QString& menuString) {
    MenuItem item;
    item.text = menuString;
    AddItem(_handle, item);
}

int CMenu::CountItems() const {
    if (auto* combo = qobject_cast<QComboBox*>(_handle)) return combo->count();
    if (auto* menu = qobject_cast<QMenu*>(_handle)) return static_cast<int>(menu->actions().size());
    return 0;
}
