#include "SoundSetFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <optional>

namespace {

constexpr int kValueTop = 127;
constexpr int kBaseChannelTop = 13;  // "13 - 16" is the last block of four channels
constexpr int kMixTop = 100;

QJsonArray IntArray(const TParameterValues& values) {
  QJsonArray array;
  for (const std::int32_t v : values) array.append(v);
  return array;
}

QJsonObject BankObject(std::uint8_t useStored, const TParameterValues& stored, std::int32_t p1,
                       std::int32_t p2) {
  return QJsonObject{{"source", useStored != 0 ? "stored" : "preset"},
                     {"stored", IntArray(stored)},
                     {"preset", QJsonArray{p1, p2}}};
}

}  // namespace

QJsonObject SoundToJson(const TSoundRecord& r) {
  QJsonArray ticked;
  for (const std::uint8_t t : r.MorphEnabled) ticked.append(t != 0);
  return QJsonObject{{"values", IntArray(r.Values)},
                     {"ticked", ticked},
                     {"bankA", BankObject(r.UseStoredA, r.StoredA, r.PresetA1, r.PresetA2)},
                     {"bankB", BankObject(r.UseStoredB, r.StoredB, r.PresetB1, r.PresetB2)},
                     {"mix", r.Mix},
                     {"mixA", r.MixA},
                     {"mixB", r.MixB}};
}

namespace {

int SoundIndex(const QString& name) {
  for (int s = 0; s < kSoundCount; ++s) {
    if (name == QLatin1String(kSoundNames[s])) return s;
  }
  return -1;
}

// Reads fields of a document, remembering the first fault with the place it was found
// ("sounds.SD.values[3]"). Once a fault is recorded every further read fails, so a caller can
// read a whole object and look at the outcome once.
class TReader {
public:
  bool Failed() const { return !FError.isEmpty(); }
  const QString& Error() const { return FError; }

  bool Fail(const QString& where, const QString& what) {
    if (!Failed()) FError = where.isEmpty() ? what : where + QStringLiteral(": ") + what;
    return false;
  }

  std::optional<QJsonValue> Field(const QJsonObject& object, const QString& where,
                                  const QString& key) {
    if (Failed()) return std::nullopt;
    const auto it = object.constFind(key);
    if (it == object.constEnd()) {
      Fail(Join(where, key), QStringLiteral("missing"));
      return std::nullopt;
    }
    return *it;
  }

  bool Object(const QJsonValue& value, const QString& where, QJsonObject& out) {
    if (Failed()) return false;
    if (!value.isObject()) return Fail(where, QStringLiteral("not an object"));
    out = value.toObject();
    return true;
  }

  bool Int(const QJsonValue& value, const QString& where, int low, int high, std::int32_t& out) {
    if (Failed()) return false;
    const double d = value.toDouble();
    if (!value.isDouble() || std::floor(d) != d) {
      return Fail(where, QStringLiteral("not a whole number"));
    }
    if (d < low || d > high) {
      return Fail(where,
                  QStringLiteral("%1 is out of range %2..%3").arg(Text(value)).arg(low).arg(high));
    }
    out = static_cast<std::int32_t>(d);
    return true;
  }

  bool IntField(const QJsonObject& object, const QString& where, const QString& key, int low,
                int high, std::int32_t& out) {
    const auto value = Field(object, where, key);
    return value && Int(*value, Join(where, key), low, high, out);
  }

  // An array of exactly `count` elements.
  bool Array(const QJsonObject& object, const QString& where, const QString& key, int count,
             QJsonArray& out) {
    const auto value = Field(object, where, key);
    if (!value) return false;
    if (!value->isArray()) return Fail(Join(where, key), QStringLiteral("not an array"));
    out = value->toArray();
    if (out.size() != count) {
      return Fail(Join(where, key),
                  QStringLiteral("has %1 entries instead of %2").arg(out.size()).arg(count));
    }
    return true;
  }

  bool Values(const QJsonObject& object, const QString& where, const QString& key,
              TParameterValues& out) {
    QJsonArray array;
    if (!Array(object, where, key, kParameterCount, array)) return false;
    for (int i = 0; i < kParameterCount; ++i) {
      Int(array[i], Element(Join(where, key), i), 0, kValueTop, out[i]);
    }
    return !Failed();
  }

  static QString Join(const QString& where, const QString& key) {
    return where.isEmpty() ? key : where + '.' + key;
  }
  static QString Element(const QString& where, int i) {
    return QStringLiteral("%1[%2]").arg(where).arg(i);
  }

private:
  static QString Text(const QJsonValue& value) {
    return QString::number(value.toDouble(), 'g', 17);
  }

  QString FError;
};

void ReadBank(TReader& in, const QJsonObject& sound, const QString& where, const QString& key,
              std::uint8_t& useStored, TParameterValues& stored, std::int32_t& p1,
              std::int32_t& p2) {
  QJsonObject bank;
  const auto value = in.Field(sound, where, key);
  if (!value || !in.Object(*value, TReader::Join(where, key), bank)) return;
  const QString at = TReader::Join(where, key);
  if (const auto source = in.Field(bank, at, QStringLiteral("source"))) {
    const QString name = source->toString();
    if (name == QLatin1String("stored")) {
      useStored = 1;
    } else if (name == QLatin1String("preset")) {
      useStored = 0;
    } else {
      in.Fail(TReader::Join(at, QStringLiteral("source")),
              QStringLiteral("must be \"stored\" or \"preset\""));
    }
  }
  in.Values(bank, at, QStringLiteral("stored"), stored);
  QJsonArray preset;
  if (in.Array(bank, at, QStringLiteral("preset"), 2, preset)) {
    const QString p = TReader::Join(at, QStringLiteral("preset"));
    in.Int(preset[0], TReader::Element(p, 0), 0, kPresetSide - 1, p1);
    in.Int(preset[1], TReader::Element(p, 1), 0, kPresetSide - 1, p2);
  }
}

void ReadSound(TReader& in, const QJsonObject& sound, const QString& where, TSoundRecord& r) {
  in.Values(sound, where, QStringLiteral("values"), r.Values);
  QJsonArray ticked;
  if (in.Array(sound, where, QStringLiteral("ticked"), kParameterCount, ticked)) {
    for (int i = 0; i < kParameterCount && !in.Failed(); ++i) {
      if (!ticked[i].isBool()) {
        in.Fail(TReader::Element(TReader::Join(where, QStringLiteral("ticked")), i),
                QStringLiteral("not true or false"));
      }
      r.MorphEnabled[i] = ticked[i].toBool() ? 1 : 0;
    }
  }
  ReadBank(in, sound, where, QStringLiteral("bankA"), r.UseStoredA, r.StoredA, r.PresetA1,
           r.PresetA2);
  ReadBank(in, sound, where, QStringLiteral("bankB"), r.UseStoredB, r.StoredB, r.PresetB1,
           r.PresetB2);
  in.IntField(sound, where, QStringLiteral("mix"), 0, kMixTop, r.Mix);
  in.IntField(sound, where, QStringLiteral("mixA"), -kMixTop, kMixTop, r.MixA);
  in.IntField(sound, where, QStringLiteral("mixB"), -kMixTop, kMixTop, r.MixB);
}

QString InFile(const QString& what, const QString& path, const QString& verb,
               const QString& reason) {
  return QStringLiteral("Cannot %1 the %2 \"%3\": %4.").arg(verb, what, path, reason);
}

}  // namespace

bool TSoundSet::SameSounds(const TSoundSet& other) const {
  return Records == other.Records && SelectedSound == other.SelectedSound &&
         BaseChannel == other.BaseChannel;
}

TSoundSet SoundSetOf(const TSoundMemory& memory, int baseChannel, const QString& device) {
  TSoundSet set;
  for (int s = 0; s < kSoundCount; ++s) set.Records[s] = memory.Record(s);
  set.SelectedSound = memory.SelectedSound();
  set.BaseChannel = baseChannel;
  set.Device = device;
  return set;
}

void ApplySoundSet(const TSoundSet& set, TSoundMemory& memory) {
  for (int s = 0; s < kSoundCount; ++s) memory.Record(s) = set.Records[s];
  memory.SetSelectedSound(set.SelectedSound);
}

QByteArray SerializeSoundSet(const TSoundSet& set) {
  QJsonObject sounds;
  for (int s = 0; s < kSoundCount; ++s) {
    sounds.insert(QLatin1String(kSoundNames[s]), SoundToJson(set.Records[s]));
  }
  const QJsonObject root{
      {"format", kSoundSetFormat},
      {"version", kSoundSetVersion},
      {"device", set.Device},
      {"baseChannel", set.BaseChannel},
      {"selectedSound", kSoundNames[std::clamp(set.SelectedSound, 0, kSoundCount - 1)]},
      {"sounds", sounds}};
  return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

bool SoundFromJson(const QJsonObject& object, const QString& where, TSoundRecord& sound,
                   QString& error) {
  TReader in;
  TSoundRecord read;
  ReadSound(in, object, where, read);
  if (in.Failed()) {
    error = in.Error();
    return false;
  }
  sound = read;
  return true;
}

bool ParseDocumentHeader(const QByteArray& document, const char* format, int version,
                         const QString& what, QJsonObject& root, QString& error,
                         bool formatOptional) {
  QJsonParseError parse{};
  const QJsonDocument json = QJsonDocument::fromJson(document, &parse);
  if (json.isNull()) {
    error = QStringLiteral("not JSON (%1 at byte %2)").arg(parse.errorString()).arg(parse.offset);
    return false;
  }
  if (!json.isObject()) {
    error = QStringLiteral("not a %1 (the document is not an object)").arg(what);
    return false;
  }
  const QJsonObject object = json.object();
  if (formatOptional && !object.contains(QStringLiteral("format")) &&
      !object.contains(QStringLiteral("version"))) {
    root = object;
    return true;
  }
  if (object.value(QStringLiteral("format")).toString() != QLatin1String(format)) {
    error = QStringLiteral("not a %1 (format is not \"%2\")").arg(what, QLatin1String(format));
    return false;
  }
  const QJsonValue versionValue = object.value(QStringLiteral("version"));
  if (versionValue.isDouble() && versionValue.toDouble() > version) {
    error = QStringLiteral(
                "written by a newer version of the program (format version %1; this "
                "one reads up to %2)")
                .arg(versionValue.toDouble())
                .arg(version);
    return false;
  }
  TReader in;
  std::int32_t read = 0;
  if (!in.IntField(object, {}, QStringLiteral("version"), version, version, read)) {
    error = in.Error();
    return false;
  }
  root = object;
  return true;
}

bool ParseSoundSet(const QByteArray& document, TSoundSet& set, QString& error) {
  QJsonObject root;
  if (!ParseDocumentHeader(document, kSoundSetFormat, kSoundSetVersion, QStringLiteral("sound set"),
                           root, error)) {
    return false;
  }
  TReader in;
  TSoundSet read;
  in.IntField(root, {}, QStringLiteral("baseChannel"), 1, kBaseChannelTop, read.BaseChannel);
  if (const auto device = in.Field(root, {}, QStringLiteral("device"))) {
    if (!device->isString()) in.Fail(QStringLiteral("device"), QStringLiteral("not a string"));
    read.Device = device->toString();
  }
  if (const auto selected = in.Field(root, {}, QStringLiteral("selectedSound"))) {
    read.SelectedSound = SoundIndex(selected->toString());
    if (read.SelectedSound < 0) {
      in.Fail(QStringLiteral("selectedSound"), QStringLiteral("not the name of a sound"));
    }
  }
  QJsonObject sounds;
  if (const auto value = in.Field(root, {}, QStringLiteral("sounds"))) {
    in.Object(*value, QStringLiteral("sounds"), sounds);
  }
  for (auto it = sounds.constBegin(); it != sounds.constEnd() && !in.Failed(); ++it) {
    if (SoundIndex(it.key()) < 0) {
      in.Fail(TReader::Join(QStringLiteral("sounds"), it.key()),
              QStringLiteral("not the name of a sound"));
    }
  }
  for (int s = 0; s < kSoundCount && !in.Failed(); ++s) {
    const QString where = TReader::Join(QStringLiteral("sounds"), QLatin1String(kSoundNames[s]));
    QJsonObject sound;
    if (const auto value = in.Field(sounds, QStringLiteral("sounds"), kSoundNames[s])) {
      if (in.Object(*value, where, sound)) ReadSound(in, sound, where, read.Records[s]);
    }
  }
  if (in.Failed()) {
    error = in.Error();
    return false;
  }
  set = read;
  return true;
}

bool ReadDocumentFile(const QString& path, const QString& what, QByteArray& document,
                      QString& error) {
  const QFileInfo info(path);
  // Checked before opening: opening a FIFO would wait for a writer.
  if (!info.exists()) {
    error = InFile(what, path, QStringLiteral("open"), QStringLiteral("no such file"));
    return false;
  }
  if (info.isDir()) {
    error = InFile(what, path, QStringLiteral("open"), QStringLiteral("it is a folder"));
    return false;
  }
  if (!info.isFile()) {
    error = InFile(what, path, QStringLiteral("open"), QStringLiteral("it is not a regular file"));
    return false;
  }
  if (info.size() > kSoundSetMaxBytes) {
    error = InFile(what, path, QStringLiteral("open"),
                   QStringLiteral("it is larger than %1 bytes").arg(kSoundSetMaxBytes));
    return false;
  }
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly) || file.isSequential()) {
    error = InFile(what, path, QStringLiteral("open"), file.errorString());
    return false;
  }
  // The cap holds even if the file grew since it was looked at.
  document = file.read(kSoundSetMaxBytes + 1);
  if (document.size() > kSoundSetMaxBytes) {
    error = InFile(what, path, QStringLiteral("open"),
                   QStringLiteral("it is larger than %1 bytes").arg(kSoundSetMaxBytes));
    return false;
  }
  if (file.error() != QFileDevice::NoError) {
    error = InFile(what, path, QStringLiteral("read"), file.errorString());
    return false;
  }
  return true;
}

bool ReadSoundSetFile(const QString& path, TSoundSet& set, QString& error) {
  const QString what = QStringLiteral("sound set");
  QByteArray document;
  if (!ReadDocumentFile(path, what, document, error)) return false;
  QString reason;
  if (!ParseSoundSet(document, set, reason)) {
    error = InFile(what, path, QStringLiteral("open"), reason);
    return false;
  }
  return true;
}

namespace {

// A save's temporary file: hidden, beside the set, named after it and after the saving process,
// so that one left by a save that was killed can be told from one still being written.
QByteArray TemporaryTemplate(const QByteArray& folder, const QByteArray& name) {
  return folder + "/." + name + "~" + QByteArray::number(::getpid()) + "~XXXXXX";
}

// Removes the temporary files that saves of `name` by processes that no longer run left in
// `folder`.
void RemoveStaleTemporaries(const QByteArray& folder, const QByteArray& name) {
  DIR* dir = ::opendir(folder.constData());
  if (dir == nullptr) return;
  const QByteArray prefix = "." + name + "~";
  while (const dirent* entry = ::readdir(dir)) {
    const QByteArray file(entry->d_name);
    if (!file.startsWith(prefix)) continue;
    const QList<QByteArray> parts = file.mid(prefix.size()).split('~');
    if (parts.size() != 2 || parts[1].size() != 6) continue;
    bool number = false;
    const pid_t pid = parts[0].toInt(&number);
    if (!number || pid <= 0 || pid == ::getpid()) continue;
    if (::kill(pid, 0) == 0 || errno != ESRCH) continue;
    ::unlinkat(::dirfd(dir), entry->d_name, 0);
  }
  ::closedir(dir);
}

QString ErrnoText(int code) { return QString::fromLocal8Bit(std::strerror(code)); }

// The permission bits a new file gets from this process.
mode_t NewFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

bool WriteAll(int fd, const QByteArray& bytes) {
  const char* next = bytes.constData();
  qsizetype left = bytes.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, next, static_cast<size_t>(left));
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    next += written;
    left -= written;
  }
  return true;
}

}  // namespace

bool WriteSoundSetFile(const QString& path, const TSoundSet& set, QString& error) {
  return WriteDocumentFile(path, QStringLiteral("sound set"), SerializeSoundSet(set), error);
}

bool WriteDocumentFile(const QString& path, const QString& what, const QByteArray& document,
                       QString& error) {
  const auto fail = [&](const QString& reason) {
    error = InFile(what, path, QStringLiteral("save"), reason);
    return false;
  };
  // A link is followed: the file it names is the one replaced.
  QFileInfo info(path);
  if (info.isSymLink() && info.exists()) info = QFileInfo(info.canonicalFilePath());
  const QByteArray target = QFile::encodeName(info.absoluteFilePath());
  const QByteArray folder = QFile::encodeName(info.absolutePath());
  const QByteArray name = QFile::encodeName(info.fileName());

  struct stat old {};
  const bool exists = ::stat(target.constData(), &old) == 0;
  if (exists) {
    if (S_ISDIR(old.st_mode)) return fail(QStringLiteral("it is a folder"));
    if (!S_ISREG(old.st_mode)) return fail(QStringLiteral("it is not a regular file"));
    // A set made read-only stays so, for root too: the file is replaced, not written, so the
    // system itself would not refuse.
    if ((old.st_mode & 0222) == 0) return fail(QStringLiteral("the file is read-only"));
    if (::access(target.constData(), W_OK) != 0) return fail(ErrnoText(errno));
  } else if (errno != ENOENT) {
    return fail(ErrnoText(errno));
  }

  RemoveStaleTemporaries(folder, name);
  QByteArray temporary = TemporaryTemplate(folder, name);
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return fail(ErrnoText(errno));
  const auto abandon = [&](int code) {
    ::close(fd);
    ::unlink(temporary.constData());
    return fail(ErrnoText(code));
  };
  if (!WriteAll(fd, document)) return abandon(errno);
  // The new file keeps the old one's permissions (and, where this process may, its owner).
  if (::fchmod(fd, exists ? (old.st_mode & 07777) : NewFileMode()) != 0) return abandon(errno);
  if (exists && (old.st_uid != ::geteuid() || old.st_gid != ::getegid())) {
    [[maybe_unused]] const int owned = ::fchown(fd, old.st_uid, old.st_gid);
  }
  // Where the disk fills, this is where it says so; nothing is renamed until the data is down.
  if (::fsync(fd) != 0) return abandon(errno);
  if (::close(fd) != 0) {
    const int code = errno;
    ::unlink(temporary.constData());
    return fail(ErrnoText(code));
  }
  if (::rename(temporary.constData(), target.constData()) != 0) {
    const int code = errno;
    ::unlink(temporary.constData());
    return fail(ErrnoText(code));
  }
  // The rename itself reaches the disk with the folder.
  const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}
