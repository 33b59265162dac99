#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <array>
#include <cstdint>

#include "SoundMemory.h"

// A sound set: everything the panel's memory holds for the sixteen sounds, the selected sound and
// the base channel, plus the name of the output device for the reader's information. It is the
// unit that is saved to and opened from a file, and the unit an undo step restores.
struct TSoundSet {
  std::array<TSoundRecord, kSoundCount> Records{};
  int SelectedSound = 0;  // 0..15
  int BaseChannel = 1;    // 1..13: the first of the four channels the instrument listens on
  QString Device;         // informational only; never used to pick a device

  // Equal sounds, selection and base channel; the device name is not compared.
  bool SameSounds(const TSoundSet& other) const;
};

constexpr const char* kSoundSetFormat = "halvorine-sound-set";
constexpr int kSoundSetVersion = 1;
// Larger files are refused before they are read: a full set is about 45 KiB.
constexpr std::int64_t kSoundSetMaxBytes = 1024 * 1024;

// The records and selection of a memory, with the given base channel and device name.
TSoundSet SoundSetOf(const TSoundMemory& memory, int baseChannel, const QString& device);
// Puts a set's records and selection into a memory; the seed table is not touched.
void ApplySoundSet(const TSoundSet& set, TSoundMemory& memory);

// The set as an indented JSON document with sounds keyed by name; two saves of the same set are
// byte-identical, and a change shows as a small diff.
QByteArray SerializeSoundSet(const TSoundSet& set);

// Reads a document into `set`. Every field is checked: a value of the wrong type or out of range,
// a missing or unknown sound, another format or a newer version refuses the whole document with
// a one-line reason in `error`, and `set` is then left as it was. Nothing is clamped.
bool ParseSoundSet(const QByteArray& document, TSoundSet& set, QString& error);

// Reads and parses the file at `path`. Refuses, before reading, anything that is not a regular
// file (a folder, a FIFO, a device) or is larger than kSoundSetMaxBytes. On failure `error` names
// the file and says what is wrong, and `set` is left as it was.
bool ReadSoundSetFile(const QString& path, TSoundSet& set, QString& error);

// Writes the set atomically: into a hidden temporary file beside `path`, synced, then renamed
// over it, so the old file is never written in place. The new file keeps the old one's
// permissions; a read-only file (no write bit, whoever saves) is refused. Temporary files that
// killed saves of the same name left behind are removed first. On failure the old file is
// untouched, no temporary file is left, and `error` names the file and the system's reason
// ("No space left on device").
bool WriteSoundSetFile(const QString& path, const TSoundSet& set, QString& error);

// ---- The parts a document of one sound shares with sets (SoundDesign.h) ----

// One sound's object as a set holds it under its name.
QJsonObject SoundToJson(const TSoundRecord& sound);
// Reads one sound's object with the same checks as a set's; `where` goes before the place named
// in `error` ("sounds.SD"; empty at a document's top). On failure `sound` is left as it was.
bool SoundFromJson(const QJsonObject& object, const QString& where, TSoundRecord& sound,
                   QString& error);
// Reads `document` as a JSON object of `format` whose version is `version` (a newer one is refused
// as such); `what` names the kind of document in `error` ("not a sound set (...)"). With
// `formatOptional`, an object with neither a format nor a version is taken as it is.
bool ParseDocumentHeader(const QByteArray& document, const char* format, int version,
                         const QString& what, QJsonObject& root, QString& error,
                         bool formatOptional = false);
// ReadSoundSetFile's and WriteSoundSetFile's checks and safe save for any document, their
// messages naming it as `what` ("Cannot open the sound \"...\": ...").
bool ReadDocumentFile(const QString& path, const QString& what, QByteArray& document,
                      QString& error);
bool WriteDocumentFile(const QString& path, const QString& what, const QByteArray& document,
                       QString& error);
