// Sound-set files without a window: round trips of a random set, every kind of bad document and
// bad file refused with its reason and without touching the set, and saves that fail part way.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <functional>
#include <random>
#include <set>
#include <thread>

#include "EndedProcess.h"
#include "SoundDesign.h"
#include "SoundSetFile.h"

namespace {

TSoundSet RandomSet(std::mt19937& random) {
  const auto in = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  TSoundSet set;
  for (TSoundRecord& r : set.Records) {
    for (int i = 0; i < kParameterCount; ++i) {
      r.StoredA[i] = in(0, 127);
      r.StoredB[i] = in(0, 127);
      r.Values[i] = in(0, 127);
      r.MorphEnabled[i] = static_cast<std::uint8_t>(in(0, 1));
    }
    for (std::uint8_t* use : {&r.UseStoredA, &r.UseStoredB}) *use = std::uint8_t(in(0, 1));
    for (int* preset : {&r.PresetA1, &r.PresetA2, &r.PresetB1, &r.PresetB2}) *preset = in(0, 127);
    r.Mix = in(0, 100);
    for (int* mix : {&r.MixA, &r.MixB}) *mix = in(-100, 100);
  }
  set.SelectedSound = in(0, 15);
  set.BaseChannel = in(1, 13);
  set.Device = QStringLiteral("Device \"%1\" \u00e9").arg(in(0, 99));
  return set;
}

// A valid document of a known set, to be spoiled one way per case.
QJsonObject GoodDocument() {
  std::mt19937 random(7);
  return QJsonDocument::fromJson(SerializeSoundSet(RandomSet(random))).object();
}

// A good document with the value at a path of keys and array positions ("sounds", "SD",
// "values", 3) replaced; an undefined value removes the key.
QByteArray Put(QStringList path, QJsonValue value) {
  std::function<QJsonValue(QJsonValue, int)> put = [&](QJsonValue at, int depth) -> QJsonValue {
    if (depth == path.size()) return value;
    bool isIndex = false;
    const int index = path[depth].toInt(&isIndex);
    if (isIndex) {
      QJsonArray array = at.toArray();
      array[index] = put(array[index], depth + 1);
      return array;
    }
    QJsonObject object = at.toObject();
    object[path[depth]] = put(object[path[depth]], depth + 1);
    return object;
  };
  return QJsonDocument(put(GoodDocument(), 0).toObject()).toJson();
}

struct TBadDocument {
  std::string Name;
  QByteArray Document;
  QString Reason;
};

// A number of the document and its range, at one place of each kind.
struct TRange {
  QStringList Path;
  int Low;
  int High;
};

// "sounds.SD.values[3]", as the reader names a place.
QString PlaceOf(const QStringList& path) {
  QString place;
  for (const QString& key : path) {
    bool isIndex = false;
    key.toInt(&isIndex);
    place += isIndex ? "[" + key + "]" : (place.isEmpty() ? key : "." + key);
  }
  return place;
}

TEST(SoundSetFile, BadDocumentsAreRefusedWithTheirReasonAndChangeNothing) {
  const QByteArray good = QJsonDocument(GoodDocument()).toJson();
  std::vector<TBadDocument> cases = {
      {"truncated", good.left(good.size() / 2), "not JSON"},
      {"array", "[1, 2]", "not a sound set"},
      {"other format", Put({"format"}, "something-else"), "not a sound set"},
      {"version text", Put({"version"}, "1"), "version: not a whole number"},
      {"fraction", Put({"sounds", "BD", "values", "0"}, 3.5), "values[0]: not a whole number"},
      {"value text", Put({"sounds", "BD", "values", "0"}, "12"), "not a whole number"},
      {"huge value", Put({"sounds", "BD", "values", "0"}, 1e300), "out of range"},
      {"tick not bool", Put({"sounds", "CH", "ticked", "5"}, 1), "ticked[5]: not true or false"},
      {"short array", Put({"sounds", "BD", "values"}, QJsonArray{1, 2}),
       "values: has 2 entries instead of 24"},
      {"sound missing", Put({"sounds", "M4"}, QJsonValue::Undefined), "sounds.M4: missing"},
      {"unknown sound", Put({"sounds", "XX"}, QJsonObject{}), "sounds.XX: not the name"},
      {"bad source", Put({"sounds", "BD", "bankB", "source"}, "both"), "bankB.source: must be"},
      {"sound of wrong shape", Put({"sounds", "BD"}, QJsonObject{{"values", 1}}), "not an array"},
      {"selected unknown", Put({"selectedSound"}, "ZZ"), "selectedSound: not the name"},
      {"sounds not object", Put({"sounds"}, QJsonArray{}), "sounds: not an object"},
      {"device not text", Put({"device"}, 5), "device: not a string"},
  };
  // Every number a set holds: each end is read as it stands, one past either end is refused
  // naming its place. Each end is a round trip of a random set whose every field is written back.
  const TRange ranges[] = {
      {{"version"}, kSoundSetVersion, kSoundSetVersion},
      {{"baseChannel"}, 1, 13},
      {{"sounds", "BD", "values", "0"}, 0, 127},
      {{"sounds", "SD", "values", "23"}, 0, 127},
      {{"sounds", "CH", "bankA", "stored", "0"}, 0, 127},
      {{"sounds", "M4", "bankB", "stored", "23"}, 0, 127},
      {{"sounds", "BD", "bankA", "preset", "0"}, 0, 127},
      {{"sounds", "LT", "bankA", "preset", "1"}, 0, 127},
      {{"sounds", "RS", "mix"}, 0, 100},
      {{"sounds", "CP", "mixA"}, -100, 100},
      {{"sounds", "OH", "mixB"}, -100, 100},
  };
  for (const TRange& r : ranges) {
    const QString place = PlaceOf(r.Path);
    for (const int end : {r.Low, r.High}) {
      const QByteArray document = Put(r.Path, end);
      TSoundSet set;
      QString error;
      // Written back, the set is the same document: the end was read as it stands.
      EXPECT_TRUE(ParseSoundSet(document, set, error) && SerializeSoundSet(set) == document)
          << place.toStdString() << " = " << end << ": " << error.toStdString();
    }
    for (const int out : {r.Low - 1, r.High + 1}) {
      const QString reason =
          place == "version" && out > r.High
              ? QStringLiteral("newer version of the program (format version %1;").arg(out)
              : QStringLiteral("%1: %2 is out of range %3..%4")
                    .arg(place)
                    .arg(out)
                    .arg(r.Low)
                    .arg(r.High);
      cases.push_back({reason.toStdString(), Put(r.Path, out), reason});
    }
  }
  std::mt19937 random(99);
  const TSoundSet before = RandomSet(random);
  for (const TBadDocument& c : cases) {
    TSoundSet set = before;
    QString error;
    EXPECT_FALSE(ParseSoundSet(c.Document, set, error)) << c.Name;
    EXPECT_TRUE(error.contains(c.Reason)) << c.Name << ": " << error.toStdString();
    EXPECT_TRUE(set.SameSounds(before) && set.Device == before.Device) << c.Name;
  }
}

struct TBadFile {
  const char* Name;
  std::function<QString(const QDir&)> Make;  // makes the file, returns its path
  const char* Reason;
};

TEST(SoundSetFile, BadFilesAreRefusedNamingTheFile) {
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  const QDir dir(folder.path());
  const auto write = [&dir](const QString& name, const QByteArray& bytes) {
    QFile file(dir.filePath(name));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    return file.fileName();
  };
  std::vector<TBadFile> cases = {
      {"missing", [](const QDir& d) { return d.filePath("none.hvset"); }, "no such file"},
      {"folder",
       [](const QDir& d) {
         d.mkdir("sub");
         return d.filePath("sub");
       },
       "it is a folder"},
      {"fifo",
       [](const QDir& d) {
         const QString path = d.filePath("fifo");
         EXPECT_EQ(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
         return path;
       },
       "not a regular file"},
      {"over 1 MiB",
       [&](const QDir&) {
         // A valid set padded past the cap: refused by size, not by content.
         return write("big.hvset", SerializeSoundSet({}) + QByteArray(kSoundSetMaxBytes, ' '));
       },
       "larger than 1048576 bytes"},
      {"not JSON", [&](const QDir&) { return write("text.hvset", "BD=1\n"); }, "not JSON"},
      {"empty", [&](const QDir&) { return write("empty.hvset", ""); }, "not JSON"},
  };
  if (geteuid() != 0) {  // permissions do not stop root
    cases.push_back({"unreadable",
                     [&](const QDir&) {
                       const QString path = write("locked.hvset", SerializeSoundSet({}));
                       QFile::setPermissions(path, {});
                       return path;
                     },
                     "ermission denied"});
  }
  std::mt19937 random(5);
  const TSoundSet before = RandomSet(random);
  for (const TBadFile& c : cases) {
    const QString path = c.Make(dir);
    TSoundSet set = before;
    QString error;
    EXPECT_FALSE(ReadSoundSetFile(path, set, error)) << c.Name;
    EXPECT_TRUE(error.contains(path) && error.contains(QLatin1String(c.Reason)))
        << c.Name << ": " << error.toStdString();
    EXPECT_TRUE(set.SameSounds(before)) << c.Name;
  }
}

// Sets a limit on the size of files this process writes for its lifetime, so that a write fails
// part way with EFBIG even for root (who ignores permissions).
class TFileSizeLimit {
public:
  explicit TFileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &FOld);
    FOldSignal = signal(SIGXFSZ, SIG_IGN);
    rlimit limit = FOld;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~TFileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &FOld);
    signal(SIGXFSZ, FOldSignal);
  }

private:
  rlimit FOld{};
  sighandler_t FOldSignal;
};

// Runs a save where the set may be written but no file made beside it. Root ignores
// permissions, so for root the save runs on a thread of its own that gives root up (the system
// call changes only the calling thread's user; the thread ends with it).
bool SaveInClosedFolder(const QString& folder, const QString& path,
                        const std::function<bool()>& save) {
  const QByteArray dir = QFile::encodeName(folder);
  EXPECT_EQ(chmod(dir.constData(), 0555), 0);
  bool saved = false;
  if (geteuid() == 0) {
    constexpr uid_t kNobody = 65534;
    EXPECT_EQ(chown(dir.constData(), kNobody, -1), 0);
    EXPECT_EQ(chown(QFile::encodeName(path).constData(), kNobody, -1), 0);
    std::thread([&] {
      if (syscall(SYS_setresuid, kNobody, kNobody, kNobody) != 0) {
        ADD_FAILURE() << "cannot give up root: " << std::strerror(errno);
        return;
      }
      saved = save();
    }).join();
  } else {
    saved = save();
  }
  EXPECT_EQ(chmod(dir.constData(), 0700), 0);
  return saved;
}

ino_t InodeOf(const QString& path) {
  struct stat info {};
  EXPECT_EQ(stat(QFile::encodeName(path).constData(), &info), 0) << path.toStdString();
  return info.st_ino;
}

QByteArray BytesOf(const QString& path) {
  QFile file(path);
  EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
  return file.readAll();
}

// A save replaces the set by a new file, never writes the old one: a failed save leaves the
// same file with the same bytes, and a good one leaves a link to the old file with the old bytes.
TEST(SoundSetFile, FailedSavesKeepTheOldFile) {
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  const QString path = folder.filePath("kept.hvset");
  std::mt19937 random(11);
  const TSoundSet old = RandomSet(random);
  QString error;
  ASSERT_TRUE(WriteSoundSetFile(path, old, error));
  const QByteArray oldBytes = SerializeSoundSet(old);
  const ino_t oldFile = InodeOf(path);
  const TSoundSet newer = RandomSet(random);

  struct TCase {
    const char* Name;
    std::function<bool()> Save;
    QString Reason;  // the system's own words, at the end of the message
  };
  const auto save = [&] { return WriteSoundSetFile(path, newer, error); };
  const TCase cases[] = {
      {"file too large part way",
       [&] {
         const TFileSizeLimit limit(4096);
         return save();
       },
       QString::fromLocal8Bit(std::strerror(EFBIG))},
      {"no temporary file can be made beside it",
       [&] { return SaveInClosedFolder(folder.path(), path, save); },
       QString::fromLocal8Bit(std::strerror(EACCES))},
  };
  for (const TCase& c : cases) {
    error.clear();
    EXPECT_FALSE(c.Save()) << c.Name;
    EXPECT_TRUE(error.startsWith("Cannot save the sound set") && error.contains(folder.path()) &&
                error.endsWith(c.Reason + QStringLiteral(".")))
        << c.Name << ": " << error.toStdString();
    EXPECT_EQ(BytesOf(path), oldBytes) << c.Name;
    EXPECT_EQ(InodeOf(path), oldFile) << c.Name;
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"kept.hvset"})
        << c.Name;
  }

  const QString link = folder.filePath("link.hvset");
  ASSERT_EQ(::link(QFile::encodeName(path).constData(), QFile::encodeName(link).constData()), 0);
  ASSERT_TRUE(save()) << error.toStdString();
  EXPECT_EQ(BytesOf(path), SerializeSoundSet(newer));
  EXPECT_NE(InodeOf(path), oldFile);
  EXPECT_EQ(BytesOf(link), oldBytes);
}

// What a save killed part way left beside the set goes with the next save there; a save still
// running in another program keeps its file.
TEST(SoundSetFile, ASaveClearsWhatKilledSavesLeft) {
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  const pid_t ended = EndedProcess();
  const QString dead = QStringLiteral(".set.hvset~%1~a1B2c3").arg(ended);
  const QString alive = QStringLiteral(".set.hvset~%1~a1B2c3").arg(getppid());
  const QString otherSet = QStringLiteral(".other.hvset~%1~a1B2c3").arg(ended);
  for (const QString& name : {dead, alive, otherSet}) {
    QFile file(folder.filePath(name));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  }
  QString error;
  ASSERT_TRUE(WriteSoundSetFile(folder.filePath("set.hvset"), TSoundSet{}, error));
  QStringList left = QDir(folder.path()).entryList(QDir::Files | QDir::Hidden);
  left.sort();
  QStringList expected{alive, otherSet, QStringLiteral("set.hvset")};
  expected.sort();
  EXPECT_EQ(left, expected);
}

}  // namespace

// ---- One sound on its own ----

// A sound comes back whole from its file, and from a set's object on the clipboard; text that is
// no sound and a folder are refused with their reason, the sound untouched.
TEST(SoundFile, SoundsRoundTripAndBadOnesAreRefusedChangingNothing) {
  QTemporaryDir folder;
  std::mt19937 random(32);
  const TSoundSet set = RandomSet(random);
  const TSoundRecord sound = set.Records[5];
  const QString path = folder.filePath("CP.hvsound");
  QString error;
  TSoundRecord read;
  ASSERT_TRUE(WriteSoundFile(path, sound, error) && ReadSoundFile(path, read, error) &&
              read == sound)
      << error.toStdString();
  const QByteArray cut =
      QJsonDocument(QJsonDocument::fromJson(SerializeSoundSet(set))["sounds"]["CP"].toObject())
          .toJson();
  EXPECT_TRUE(ParseSound(cut, read = {}, error, true) && read == sound) << error.toStdString();
  const QByteArray good = SerializeSound(sound);
  const struct {
    QByteArray Text;
    bool Bare;  // from the clipboard
    const char* Reason;
  } cases[] = {
      {"kick", true, "not JSON"},
      {cut, false, "not a sound (format is not \"halvorine-sound\")"},
      {SerializeSoundSet(set), true, "not a sound (format is not \"halvorine-sound\")"},
      {QByteArray(good).replace("\"version\": 1", "\"version\": 2"), true, "newer version"},
      {QByteArray(good).replace("\"mixA\"", "\"mixZ\""), true, "mixA: missing"},
  };
  for (const auto& c : cases) {
    TSoundRecord kept = sound;
    EXPECT_FALSE(ParseSound(c.Text, kept, error, c.Bare)) << c.Reason;
    EXPECT_TRUE(error.contains(c.Reason) && kept == sound)
        << c.Reason << ": " << error.toStdString();
  }
  EXPECT_FALSE(WriteSoundFile(folder.path(), sound, error));
  EXPECT_EQ(error, "Cannot save the sound \"" + folder.path() + "\": it is a folder.");
}

// Over amounts and seeds: ticked values only move (all when none is), each within the amount and
// within 0..127, every step of the range taken, the ends held; Randomize reaches every value; a
// seed repeats its moves.
TEST(SoundFile, MutationStaysWithinItsAmountAndClampsAtTheEnds) {
  for (const int amount : kMutationAmounts) {
    for (const std::uint64_t seed : {1u, 2u, 77u}) {
      for (const bool someTicked : {false, true}) {
        TSoundRecord sound;
        for (int i = 0; i < kParameterCount; ++i) sound.Values[i] = i % 3 == 0 ? 0 : 127 - i % 2;
        if (someTicked) sound.MorphEnabled = {1, 0, 0, 1, 1, 1, 0, 0, 1};
        TSoundMutator mutator(seed);
        std::set<int> up;  // the steps from 0, and those from 127 down
        std::set<int> down;
        std::set<int> randomized;
        for (int round = 0; round < 2000; ++round) {
          const TParameterValues moved = mutator.Mutate(sound, amount);
          const TParameterValues anywhere = mutator.Randomize(sound);
          for (int i = 0; i < kParameterCount; ++i) {
            const int step = moved[i] - sound.Values[i];
            const bool moves = !someTicked || sound.MorphEnabled[i] != 0;
            ASSERT_TRUE(std::abs(step) <= amount && moved[i] >= 0 && moved[i] <= 127 &&
                        (moves || (step == 0 && anywhere[i] == sound.Values[i])))
                << amount << " " << seed << ": " << sound.Values[i] << " -> " << moved[i];
            if (moves) randomized.insert(anywhere[i]);
            if (sound.Values[i] == 0) up.insert(step);
            if (sound.Values[i] == 127) down.insert(-step);
          }
        }
        EXPECT_EQ(std::pair(up.size(), down.size()), std::pair(amount + 1ul, amount + 1ul))
            << amount << " " << seed;
        EXPECT_EQ(randomized.size(), 128u) << amount << " " << seed;
        EXPECT_EQ(TSoundMutator(seed).Mutate(sound, amount),
                  TSoundMutator(seed).Mutate(sound, amount));
        EXPECT_NE(TSoundMutator(seed).Mutate(sound, amount),
                  TSoundMutator(seed + 1000).Mutate(sound, amount));
      }
    }
  }
}
