#include "ui/accessible_roles.h"

#include <gtkmm/stackpage.h>

namespace installer {
namespace {

void setRole(GObject* object, GtkAccessibleRole role) {
  g_object_set(object, "accessible-role", role, nullptr);
}

}  // namespace

void markPresentation(Gtk::Widget& widget) {
  setRole(G_OBJECT(widget.gobj()), GTK_ACCESSIBLE_ROLE_PRESENTATION);
}

void markGroup(Gtk::Widget& widget) { setRole(G_OBJECT(widget.gobj()), GTK_ACCESSIBLE_ROLE_GROUP); }

void setAccessibleLabel(Gtk::Widget& widget, const std::string& label) {
  gtk_accessible_update_property(GTK_ACCESSIBLE(widget.gobj()), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 label.c_str(), -1);
}

void markPagesAsGroups(Gtk::Stack& stack) {
  for (auto* child = stack.get_first_child(); child; child = child->get_next_sibling()) {
    GObject* page = G_OBJECT(stack.get_page(*child)->gobj());
    GtkAccessibleRole role = GTK_ACCESSIBLE_ROLE_NONE;
    g_object_get(page, "accessible-role", &role, nullptr);
    if (role != GTK_ACCESSIBLE_ROLE_GROUP) setRole(page, GTK_ACCESSIBLE_ROLE_GROUP);
    // A page without a title is announced by its type name.
    g_object_set(page, "title", "", nullptr);
  }
}

void hideInactivePages(Gtk::Stack& stack) {
  const Gtk::Widget* visible = stack.get_visible_child();
  for (auto* child = stack.get_first_child(); child; child = child->get_next_sibling()) {
    // On the page's widget: GTK leaves hidden widgets out of the tree,
    // but still lists hidden pages with everything on them.
    gtk_accessible_update_state(GTK_ACCESSIBLE(child->gobj()), GTK_ACCESSIBLE_STATE_HIDDEN,
                                child != visible, -1);
  }
}

}  // namespace installer
