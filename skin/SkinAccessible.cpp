#include "SkinAccessible.h"

#include <QAccessibleWidget>

#include <algorithm>
#include <cmath>

#include "SkinButton.h"
#include "SkinCheckBox.h"
#include "SkinKnob.h"

namespace {

class TSkinControlAccessible : public QAccessibleWidget {
public:
  TSkinControlAccessible(TSkinControl* control, QAccessible::Role role)
      : QAccessibleWidget(control, role) {}

  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Name) {
      if (!widget()->accessibleName().isEmpty()) return widget()->accessibleName();
      return static_cast<const TSkinControl*>(widget())->GetCaption();
    }
    return QAccessibleWidget::text(t);
  }
};

class TSkinKnobAccessible : public TSkinControlAccessible, public QAccessibleValueInterface {
public:
  explicit TSkinKnobAccessible(TSkinKnob* knob) : TSkinControlAccessible(knob, QAccessible::Dial) {}

  void* interface_cast(QAccessible::InterfaceType t) override {
    if (t == QAccessible::ValueInterface) return static_cast<QAccessibleValueInterface*>(this);
    return TSkinControlAccessible::interface_cast(t);
  }

  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Value) return Knob()->ValueText();
    return TSkinControlAccessible::text(t);
  }

  QVariant currentValue() const override { return Knob()->GetPosition(); }
  // A value from a tool is a user's setting: it raises OnChange once, as a drag move does.
  void setCurrentValue(const QVariant& value) override {
    bool ok = false;
    const double number = value.toDouble(&ok);
    if (!ok) return;
    const double clamped = std::clamp<double>(number, Knob()->GetMin(), Knob()->GetMax());
    Knob()->SetPosition(static_cast<int>(std::lround(clamped)));
  }
  QVariant maximumValue() const override { return Knob()->GetMax(); }
  QVariant minimumValue() const override { return Knob()->GetMin(); }
  QVariant minimumStepSize() const override { return 1; }

  QStringList actionNames() const override {
    return QAccessibleWidget::actionNames() << QAccessibleActionInterface::increaseAction()
                                            << QAccessibleActionInterface::decreaseAction();
  }
  void doAction(const QString& name) override {
    if (name == QAccessibleActionInterface::increaseAction())
      Knob()->Step(1);
    else if (name == QAccessibleActionInterface::decreaseAction())
      Knob()->Step(-1);
    else
      QAccessibleWidget::doAction(name);
  }

private:
  TSkinKnob* Knob() const { return static_cast<TSkinKnob*>(widget()); }
};

class TSkinCheckBoxAccessible : public TSkinControlAccessible {
public:
  explicit TSkinCheckBoxAccessible(TSkinCheckBox* box)
      : TSkinControlAccessible(box, QAccessible::CheckBox) {}

  QAccessible::State state() const override {
    QAccessible::State s = TSkinControlAccessible::state();
    s.checkable = true;
    s.checked = Box()->GetChecked();
    return s;
  }

  QStringList actionNames() const override {
    return QAccessibleWidget::actionNames() << QAccessibleActionInterface::toggleAction()
                                            << QAccessibleActionInterface::pressAction();
  }
  void doAction(const QString& name) override {
    if (name == QAccessibleActionInterface::toggleAction() ||
        name == QAccessibleActionInterface::pressAction())
      Box()->Click();
    else
      QAccessibleWidget::doAction(name);
  }

private:
  TSkinCheckBox* Box() const { return static_cast<TSkinCheckBox*>(widget()); }
};

class TSkinButtonAccessible : public TSkinControlAccessible {
public:
  explicit TSkinButtonAccessible(TSkinButton* button)
      : TSkinControlAccessible(button, QAccessible::PushButton) {}

  QStringList actionNames() const override {
    return QAccessibleWidget::actionNames() << QAccessibleActionInterface::pressAction();
  }
  void doAction(const QString& name) override {
    if (name == QAccessibleActionInterface::pressAction())
      static_cast<TSkinButton*>(widget())->Click();
    else
      QAccessibleWidget::doAction(name);
  }
};

// Asked once per class of an object's ancestry, most derived first; the first answer is kept.
QAccessibleInterface* SkinAccessibleFactory(const QString& key, QObject* object) {
  if (key == QLatin1String("TSkinKnob")) {
    if (auto* knob = qobject_cast<TSkinKnob*>(object)) return new TSkinKnobAccessible(knob);
  } else if (key == QLatin1String("TSkinCheckBox")) {
    if (auto* box = qobject_cast<TSkinCheckBox*>(object)) return new TSkinCheckBoxAccessible(box);
  } else if (key == QLatin1String("TSkinButton")) {
    if (auto* button = qobject_cast<TSkinButton*>(object)) return new TSkinButtonAccessible(button);
  } else if (key == QLatin1String("TSkinControl")) {
    if (auto* control = qobject_cast<TSkinControl*>(object))
      return new TSkinControlAccessible(control, QAccessible::Graphic);
  }
  return nullptr;
}

}  // namespace

void InstallSkinAccessibility() {
  static const bool installed = [] {
    QAccessible::installFactory(SkinAccessibleFactory);
    return true;
  }();
  (void)installed;
}
