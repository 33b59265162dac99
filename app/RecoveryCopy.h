#pragma once

#include <QLockFile>
#include <QString>
#include <QStringList>
#include <memory>

#include "SoundSetFile.h"

// One recovery copy of unsaved work in the user's state folder ("recovery-NAME.hvset"), the note
// beside it naming the file the work belongs to ("....of"), and the lock beside it ("....lock")
// that the program owning the copy holds while it runs. A copy whose lock is free belongs to no
// running program, however its name came about, and may be offered back; process numbers are
// reused, so a name says nothing about its owner.
class TRecoveryCopy {
public:
  // A new copy of this process in `folder` (made if missing): the first name whose copy does not
  // exist yet and whose lock this process can take. Null when the folder cannot take a lock.
  static std::unique_ptr<TRecoveryCopy> Claim(const QString& folder);
  // Takes the lock of the copy at `path`: null while a running program holds it.
  static std::unique_ptr<TRecoveryCopy> Adopt(const QString& path);
  // Every copy in `folder`, newest first.
  static QStringList List(const QString& folder);

  // Releases the lock; the copy itself stays.
  ~TRecoveryCopy();
  TRecoveryCopy(const TRecoveryCopy&) = delete;
  TRecoveryCopy& operator=(const TRecoveryCopy&) = delete;

  const QString& Path() const { return FPath; }
  // Writes `state` atomically as the copy, with `of` (empty: none) as its note. On failure the
  // result is false with the reason in `error`, and what was there stays.
  bool Write(const TSoundSet& state, const QString& of, QString& error);
  // The file the work belongs to, as the note says; empty when it has none.
  QString Of() const;
  // Removes the copy and its note; the lock is held until this object goes.
  void Remove();

private:
  explicit TRecoveryCopy(const QString& path);

  QString FPath;
  QLockFile FLock;
};
