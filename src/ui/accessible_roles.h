// How the window's widgets present themselves to assistive technology.
//
// GTK announces a widget without a name by its type name ("GtkOverlay",
// "GtkStackPage"), so every widget a screen reader can reach either has a
// localized name or is kept out of the tree:
// - a leaf that only draws (a picture, a divider, a spacer) is marked as
//   presentation, which removes it and everything below it;
// - a container of controls cannot be removed without its controls, so it
//   is a plain unnamed group, which readers pass over silently;
// - the pages of a stack that are not on screen are hidden.
//
// Roles can only be set before GTK first exposes the widget: call these
// from constructors. Main thread only.
#pragma once

#include <string>

#include <gtkmm/stack.h>
#include <gtkmm/widget.h>

namespace installer {

// Kept out of the accessible tree, with its children.
void markPresentation(Gtk::Widget& widget);
// An unnamed group: its children are read, it is not.
void markGroup(Gtk::Widget& widget);
// The name a screen reader reads for `widget`.
void setAccessibleLabel(Gtk::Widget& widget, const std::string& label);

// Makes the stack's pages unnamed groups; call again after adding pages.
void markPagesAsGroups(Gtk::Stack& stack);
// Hides every page but the visible one; call after each change of the
// visible page.
void hideInactivePages(Gtk::Stack& stack);

}  // namespace installer
