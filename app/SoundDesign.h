#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <random>

#include "SoundSetFile.h"

// One sound on its own, apart from its set: as text on the clipboard and in a file of its own
// (.hvsound), and the random moves that explore around it (mutate, randomize).

// A sound document is the sound's object of the set format with these two fields added.
constexpr const char* kSoundFormat = "halvorine-sound";
constexpr int kSoundVersion = 1;

// The sound as an indented JSON document, keys in order: the clipboard's text and a sound file's
// bytes.
QByteArray SerializeSound(const TSoundRecord& sound);

// Reads a sound document into `sound`, with the refusal rules of sets: another format, a newer
// version, a missing field or a value of the wrong type or out of range refuses the whole
// document with a one-line reason in `error`, and `sound` is left as it was. From the clipboard
// (`bare`) a sound's object without format and version is taken too, as copied out of a set.
bool ParseSound(const QByteArray& document, TSoundRecord& sound, QString& error, bool bare = false);

// A sound file, read and saved as sets are (see ReadSoundSetFile and WriteSoundSetFile); the
// messages name the file as a sound's.
bool ReadSoundFile(const QString& path, TSoundRecord& sound, QString& error);
bool WriteSoundFile(const QString& path, const TSoundRecord& sound, QString& error);

// The amounts a mutation may move a value by, the default first chosen.
constexpr int kMutationAmounts[] = {4, 8, 16, 32, 64};
constexpr int kDefaultMutationAmount = 8;

// Random moves of a sound's values from a seeded generator: the same seed gives the same moves in
// any build. Only the ticked parameters move, or all 24 when none is ticked.
class TSoundMutator {
public:
  explicit TSoundMutator(std::uint64_t seed) : FRandom(seed) {}

  // Each value moves by a whole amount from -amount to +amount, every one as likely, and stops
  // at 0 or 127 (it never wraps).
  TParameterValues Mutate(const TSoundRecord& sound, int amount);
  // Each value becomes any of 0..127, every one as likely.
  TParameterValues Randomize(const TSoundRecord& sound);

private:
  // A whole number from 0 to count - 1, every one as likely.
  int Below(int count);
  static bool Moves(const TSoundRecord& sound, int index);

  std::mt19937_64 FRandom;
};
