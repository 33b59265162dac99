#include "MidiOutComboBox.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include <QEvent>
#include <QTimer>

#include "MidiOutService.h"

// The list on its way from the worker. Alive is cleared by the picker's destructor under Lock, so
// the worker never posts to a picker that is gone.
struct TMidiOutComboBox::TPending {
  std::mutex Lock;
  std::condition_variable Arrived;
  bool Alive = true;
  std::uint64_t Asked = 0;     // requests made
  std::uint64_t Arrivals = 0;  // the request whose list Names holds
  std::uint64_t Applied = 0;   // the request whose list the items show
  bool KeepSelection = false;
  std::vector<std::string> Names;
};

TMidiOutComboBox::TMidiOutComboBox(QWidget* parent)
    : QComboBox(parent), FPending(std::make_shared<TPending>()) {
  setEditable(false);
  resize(kInitialWidth, sizeHint().height());
  // A picker shown at once asks once its window has painted (see showEvent), so that reading the
  // list takes nothing from the window's start; one not shown asks as soon as events run.
  QTimer::singleShot(0, this, [this] {
    if (!isVisible()) AskOnce();
  });
}

void TMidiOutComboBox::AskOnce() {
  {
    std::lock_guard lock(FPending->Lock);
    if (FPending->Asked != 0) return;
  }
  RequestDevices(false);
}

void TMidiOutComboBox::showEvent(QShowEvent* event) {
  QComboBox::showEvent(event);
  if (!FWatchingPaint) {
    FWatchingPaint = true;
    window()->installEventFilter(this);
  }
}

bool TMidiOutComboBox::eventFilter(QObject* watched, QEvent* event) {
  if (watched == window() && event->type() == QEvent::Paint) {
    window()->removeEventFilter(this);
    QTimer::singleShot(0, this, [this] { AskOnce(); });
  }
  return QComboBox::eventFilter(watched, event);
}

TMidiOutComboBox::~TMidiOutComboBox() {
  std::lock_guard lock(FPending->Lock);
  FPending->Alive = false;
}

int TMidiOutComboBox::DeviceID() const {
  const_cast<TMidiOutComboBox*>(this)->AwaitList();
  return currentIndex();
}

void TMidiOutComboBox::SetDeviceID(int deviceID) {
  AwaitList();
  setCurrentIndex(deviceID >= 0 && deviceID < count() ? deviceID : -1);
}

bool TMidiOutComboBox::SelectDeviceName(const QString& name) {
  AwaitList();
  const int index = findText(name, Qt::MatchExactly | Qt::MatchCaseSensitive);
  if (index < 0) return false;
  setCurrentIndex(index);
  return true;
}

void TMidiOutComboBox::AwaitList() {
  AskOnce();
  if (Listed()) return;
  {
    std::unique_lock lock(FPending->Lock);
    FPending->Arrived.wait_for(lock, std::chrono::milliseconds(kMidiOutAnswerWaitMs),
                               [&] { return FPending->Arrivals == FPending->Asked; });
  }
  ApplyPending();
}

void TMidiOutComboBox::FillDevices() {
  std::vector<std::string> names;
  const UINT n = midiOutGetNumDevs();
  for (UINT i = 0; i < n; ++i) {
    // A device whose name cannot be read still takes its place, with an empty name, so that item
    // i keeps naming device i.
    std::string name;
    if (MidiOutGetDeviceName(i, name) != MMSYSERR_NOERROR) name.clear();
    names.push_back(std::move(name));
  }
  {
    std::lock_guard lock(FPending->Lock);
    FPending->Applied = FPending->Asked;  // a list still on its way is older than this one
  }
  Apply(names, false);
}

void TMidiOutComboBox::RequestDevices(bool keepSelection) {
  std::uint64_t request = 0;
  {
    std::lock_guard lock(FPending->Lock);
    request = ++FPending->Asked;
    FPending->KeepSelection = keepSelection;
  }
  MidiOutListDevicesAsync([pending = FPending, request, this](std::vector<std::string> names) {
    std::lock_guard lock(pending->Lock);
    if (request != pending->Asked) return;  // a newer request will bring a newer list
    pending->Names = std::move(names);
    pending->Arrivals = request;
    pending->Arrived.notify_all();
    if (pending->Alive) QMetaObject::invokeMethod(this, [this] { ApplyPending(); });
  });
}

bool TMidiOutComboBox::Listed() const {
  std::lock_guard lock(FPending->Lock);
  return FPending->Asked != 0 && FPending->Applied == FPending->Asked;
}

void TMidiOutComboBox::showPopup() {
  RequestDevices(true);
  QComboBox::showPopup();
}

void TMidiOutComboBox::ApplyPending() {
  std::vector<std::string> names;
  bool keep = false;
  {
    std::lock_guard lock(FPending->Lock);
    if (FPending->Arrivals == 0 || FPending->Applied >= FPending->Arrivals) return;
    FPending->Applied = FPending->Arrivals;
    names = FPending->Names;
    keep = FPending->KeepSelection;
  }
  Apply(names, keep);
  emit DevicesListed();
}

void TMidiOutComboBox::Apply(const std::vector<std::string>& names, bool keepSelection) {
  QStringList items;
  for (const std::string& name : names) items << QString::fromStdString(name);
  QStringList current;
  for (int i = 0; i < count(); ++i) current << itemText(i);
  if (keepSelection && items == current) return;
  const QString selected = currentText();
  clear();
  addItems(items);
  const int kept = keepSelection ? items.indexOf(selected) : -1;
  setCurrentIndex(kept >= 0 ? kept : (count() > 0 ? 0 : -1));
}
