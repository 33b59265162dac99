#include "ComboBoxAccessible.h"

#include <QAbstractItemView>
#include <QAccessibleWidget>
#include <QComboBox>

namespace {

// Named by the list's accessible name; its current item is its value and, read-only, its text
// (screen readers read a list's item from its text).
class TNamedComboBoxAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
  explicit TNamedComboBoxAccessible(QComboBox* box)
      : QAccessibleWidget(box, QAccessible::ComboBox) {
    addControllingSignal(QStringLiteral("activated(int)"));
  }

  void* interface_cast(QAccessible::InterfaceType t) override {
    if (t == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
    return QAccessibleWidget::interface_cast(t);
  }

  // ---- The current item as read-only text ----
  QString text(int startOffset, int endOffset) const override {
    return Box()->currentText().mid(startOffset, endOffset - startOffset);
  }
  int characterCount() const override { return static_cast<int>(Box()->currentText().size()); }
  int cursorPosition() const override { return 0; }
  void setCursorPosition(int) override {}
  void selection(int, int* startOffset, int* endOffset) const override {
    *startOffset = *endOffset = 0;
  }
  int selectionCount() const override { return 0; }
  void addSelection(int, int) override {}
  void removeSelection(int) override {}
  void setSelection(int, int, int) override {}
  QRect characterRect(int) const override { return {}; }
  int offsetAtPoint(const QPoint&) const override { return -1; }
  void scrollToSubstring(int, int) override {}
  QString attributes(int offset, int* startOffset, int* endOffset) const override {
    *startOffset = *endOffset = offset;
    return {};
  }

  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Name) {
      const QString name = Box()->accessibleName();
      return name.isEmpty() ? Box()->currentText() : name;
    }
    if (t == QAccessible::Value) return Box()->currentText();
    return QAccessibleWidget::text(t);
  }

  // The list of items, as Qt's own interface has it.
  int childCount() const override { return 1; }
  QAccessibleInterface* child(int index) const override {
    return index == 0 ? QAccessible::queryAccessibleInterface(Box()->view()) : nullptr;
  }
  int indexOfChild(const QAccessibleInterface* child) const override {
    return child != nullptr && child->object() == Box()->view() ? 0 : -1;
  }

  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    s.expandable = true;
    s.expanded = Box()->view()->isVisible();
    return s;
  }

  QStringList actionNames() const override {
    return QStringList{QAccessibleActionInterface::showMenuAction(),
                       QAccessibleActionInterface::pressAction()};
  }
  void doAction(const QString& name) override {
    if (name != QAccessibleActionInterface::showMenuAction() &&
        name != QAccessibleActionInterface::pressAction())
      return;
    if (Box()->view()->isVisible())
      Box()->hidePopup();
    else
      Box()->showPopup();
  }

private:
  QComboBox* Box() const { return static_cast<QComboBox*>(widget()); }
};

QAccessibleInterface* ComboBoxAccessibleFactory(const QString& key, QObject* object) {
  if (key != QLatin1String("QComboBox")) return nullptr;
  auto* box = qobject_cast<QComboBox*>(object);
  // An interface is made once per control, often before its name is given: every list is
  // answered, and one without a name is named by its item as Qt does.
  if (box == nullptr || box->isEditable()) return nullptr;
  return new TNamedComboBoxAccessible(box);
}

}  // namespace

void InstallComboBoxAccessibility() {
  static const bool installed = [] {
    QAccessible::installFactory(ComboBoxAccessibleFactory);
    return true;
  }();
  (void)installed;
}
