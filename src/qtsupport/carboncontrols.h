#pragma once

// Small wrappers over the controls and menus of a window: a control is
// found by its control ID (a signature and a number, set on the widget in
// the interface description as the properties "controlSignature" and
// "controlID") and then set, read, enabled, shown and styled. Texts are
// UTF-8, shown as ShownText shows them.

#include <string>

#include "qtsupport/PlatformServices.h"

class CControl {
public:
    CControl() = default;

    OSStatus Init(ControlID id, WindowRef window);
    ControlRef GetControlRef() const { return _controlRef; }
    operator ControlRef() const { return _controlRef; }

    void SetTitle(const char* title);
    virtual void SetText(const char* text);  // and redraws at once
    std::string GetText();
    void Enable(bool enable);
    void Disable();
    void SetVisibility(Boolean visible);
    virtual void SetValue(long value);
    virtual long GetValue();
    // The ranges here and the fonts below are part of the reusable library;
    // the window uses none of them.
    void SetMaximum(short max);
    void SetMinimum(short min);
    short GetMaximum();
    short GetMinimum();
    virtual void Draw();
    void SetFontControlStyle(short size, short justify, RGBColor foreColor);
    void SetFontSize(short size);
    void SetFontStyle(short style);  // bit 0 bold, 1 italic, 2 underline
    void SetFontForeColor(RGBColor color);
    void SetFontBackColor(RGBColor color);
    void SetFontJustification(short justify);  // 0 or -2 left, 1 centre, -1 right
    void SetupEventHandler(UInt32 eventKind, EventHandlerUPP eventHandler, void* eventData);
    void SetAction(ControlActionUPP controlActionUPP);
    void SetReference(long data);
    long GetReference();

protected:
    void TestControl() const;  // stops the program when the control is not bound

    ControlRef _controlRef = nullptr;
    ControlID _id;
    WindowRef _window = nullptr;
};

// Pop-up menus, check boxes, edit texts and menus: part of the reusable
// library; the window uses none of them.
class CPopupControl : public CControl {
public:
    MenuRef GetMenuHandle();
};

class CCheckBox : public CControl {
public:
    void Check();
    void UnCheck();
    // True only for the value 1: a box in the mixed state (2) is not checked.
    bool IsChecked();
};

class CEdit : public CControl {
public:
    using CControl::SetValue;
    void SetValue(std::string stringValue);
    void SetValue(char* charStringValue);
    // At most 8 characters come back; a longer text is cut.
    void GetValue(std::string& stringValue);
};

class CMenu {
public:
    explicit CMenu(MenuRef handle) : _handle(handle) {}

    void Reset();
    // Appends the strings in order up to the first empty one.
    void Init(std::string* menuItems);
    // Reads menu metacharacters: ';' separates items, '(' disables one, '-'
    // alone is a separator, '/' and a character is its shortcut (Ctrl+char),
    // '!' and a character checks it; '<' and '^' with their character are
    // read and ignored. At most 255 bytes are taken.
    void Append(const char* menuString);
    void Append(std::string menuString);
    // A length-prefixed string, read like the C-string form.
    void Append(const unsigned char* menuString);
    // The text is taken literally.
    void Append(const QString& menuString);
    int CountItems() const;

protected:
    MenuRef _handle;
};
