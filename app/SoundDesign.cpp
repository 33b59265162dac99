#include "SoundDesign.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace {

const QString kWhat = QStringLiteral("sound");
constexpr int kValueTop = 127;

}  // namespace

QByteArray SerializeSound(const TSoundRecord& sound) {
  QJsonObject root = SoundToJson(sound);
  root.insert(QStringLiteral("format"), QLatin1String(kSoundFormat));
  root.insert(QStringLiteral("version"), kSoundVersion);
  return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

bool ParseSound(const QByteArray& document, TSoundRecord& sound, QString& error, bool bare) {
  QJsonObject root;
  return ParseDocumentHeader(document, kSoundFormat, kSoundVersion, kWhat, root, error, bare) &&
         SoundFromJson(root, {}, sound, error);
}

bool ReadSoundFile(const QString& path, TSoundRecord& sound, QString& error) {
  QByteArray document;
  if (!ReadDocumentFile(path, kWhat, document, error)) return false;
  QString reason;
  if (!ParseSound(document, sound, reason)) {
    error = QStringLiteral("Cannot open the sound \"%1\": %2.").arg(path, reason);
    return false;
  }
  return true;
}

bool WriteSoundFile(const QString& path, const TSoundRecord& sound, QString& error) {
  return WriteDocumentFile(path, kWhat, SerializeSound(sound), error);
}

bool TSoundMutator::Moves(const TSoundRecord& sound, int index) {
  const bool anyTicked = std::any_of(sound.MorphEnabled.begin(), sound.MorphEnabled.end(),
                                     [](std::uint8_t t) { return t != 0; });
  return !anyTicked || sound.MorphEnabled[index] != 0;
}

int TSoundMutator::Below(int count) {
  // Rejection keeps every outcome equally likely; the standard distributions' results differ
  // between libraries, this does not.
  const std::uint64_t n = static_cast<std::uint64_t>(count);
  const std::uint64_t limit = FRandom.max() - (FRandom.max() % n + 1) % n;
  std::uint64_t draw = FRandom();
  while (draw > limit) draw = FRandom();
  return static_cast<int>(draw % n);
}

TParameterValues TSoundMutator::Mutate(const TSoundRecord& sound, int amount) {
  TParameterValues values = sound.Values;
  for (int i = 0; i < kParameterCount; ++i) {
    if (!Moves(sound, i)) continue;
    const int step = Below(2 * amount + 1) - amount;
    values[i] = std::clamp(values[i] + step, 0, kValueTop);
  }
  return values;
}

TParameterValues TSoundMutator::Randomize(const TSoundRecord& sound) {
  TParameterValues values = sound.Values;
  for (int i = 0; i < kParameterCount; ++i) {
    if (Moves(sound, i)) values[i] = Below(kValueTop + 1);
  }
  return values;
}
