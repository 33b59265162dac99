#include "ComboBoxAccessible.h"

#include <QAbstractItemView>
#include <QAccessibleWidget>
#include <QComboBox>

namespace {

class TNamedComboBoxAccessible : public QAccessibleWidget {
public:
  explicit TNamedComboBoxAccessible(QComboBox* box)
      : QAccessibleWidget(box, QAccessible::ComboBox) {
    addControllingSignal(QStringLiteral("activated(int)"));
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
