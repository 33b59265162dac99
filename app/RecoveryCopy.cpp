#include "RecoveryCopy.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

const char* const kPrefix = "recovery-";
const char* const kSuffix = ".hvset";
const char* const kOfSuffix = ".of";
const char* const kLockSuffix = ".lock";
// More copies than this in one folder from one process number would mean a fault elsewhere.
constexpr int kClaimTries = 100;

}  // namespace

TRecoveryCopy::TRecoveryCopy(const QString& path)
    : FPath(path), FLock(path + QLatin1String(kLockSuffix)) {
  // The owner's process is checked, never the lock's age: a program may run for days.
  FLock.setStaleLockTime(0);
}

TRecoveryCopy::~TRecoveryCopy() = default;

std::unique_ptr<TRecoveryCopy> TRecoveryCopy::Claim(const QString& folder) {
  if (!QDir().mkpath(folder)) return nullptr;
  const qint64 pid = QCoreApplication::applicationPid();
  for (int n = 0; n < kClaimTries; ++n) {
    const QString name =
        n == 0 ? QStringLiteral("%1%2%3").arg(QLatin1String(kPrefix)).arg(pid)
               : QStringLiteral("%1%2-%3").arg(QLatin1String(kPrefix)).arg(pid).arg(n);
    const QString path = folder + '/' + name + QLatin1String(kSuffix);
    // A copy left by an earlier program of the same number is work to offer, not to overwrite.
    if (QFileInfo::exists(path)) continue;
    std::unique_ptr<TRecoveryCopy> copy(new TRecoveryCopy(path));
    if (copy->FLock.tryLock(0) && !QFileInfo::exists(path)) return copy;
    if (copy->FLock.error() == QLockFile::PermissionError) return nullptr;
  }
  return nullptr;
}

std::unique_ptr<TRecoveryCopy> TRecoveryCopy::Adopt(const QString& path) {
  std::unique_ptr<TRecoveryCopy> copy(new TRecoveryCopy(path));
  if (!copy->FLock.tryLock(0)) return nullptr;
  return copy;
}

QStringList TRecoveryCopy::List(const QString& folder) {
  QStringList paths;
  const QFileInfoList files =
      QDir(folder).entryInfoList({QLatin1String(kPrefix) + '*' + QLatin1String(kSuffix)},
                                 QDir::Files | QDir::Hidden, QDir::Time);
  for (const QFileInfo& file : files) paths << file.filePath();
  return paths;
}

bool TRecoveryCopy::Write(const TSoundSet& state, const QString& of, QString& error) {
  if (!WriteSoundSetFile(FPath, state, error)) return false;
  QFile note(FPath + QLatin1String(kOfSuffix));
  if (of.isEmpty()) {
    note.remove();
  } else if (note.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
    note.write(of.toUtf8());
  }
  return true;
}

QString TRecoveryCopy::Of() const {
  QFile note(FPath + QLatin1String(kOfSuffix));
  return note.open(QIODevice::ReadOnly) ? QString::fromUtf8(note.readAll()) : QString();
}

void TRecoveryCopy::Remove() {
  QFile::remove(FPath);
  QFile::remove(FPath + QLatin1String(kOfSuffix));
}
