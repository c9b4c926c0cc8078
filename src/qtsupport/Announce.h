#pragma once

// What a screen reader is told when a control's text changes. A value
// label is named after its caption (the label whose buddy it is): "Serial
// number: KY123456". A label marked with the property "accessibleLive"
// (a notice, a result) is announced when its text changes while it is
// shown, and when it is shown.

class QString;
class QWidget;

namespace ky {

// Names `value` after its caption, when it is a label that has one.
void NameAfterCaption(QWidget* value);

// `widget`'s text was set; it read `before`.
void TextSet(QWidget* widget, const QString& before);

// `widget` was shown or hidden; it was hidden before when `wasHidden`.
void VisibilitySet(QWidget* widget, bool wasHidden);

// What announces a control: by default, an Alert event to assistive
// technology. Tests listen in its place; returns the one it replaces.
using Announcer = void (*)(QWidget* widget);
Announcer SetAnnouncer(Announcer announcer);

}  // namespace ky
