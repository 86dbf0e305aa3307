#include "app/registry.h"

#include <QSettings>
#include <QStandardPaths>
#include <QStringList>
#include <limits>

namespace qb {

namespace {

QStringList KeySegments(const std::string& key) {
  return QString::fromStdString(key).split(u'\\', Qt::SkipEmptyParts);
}

// The existing entry of list whose name equals name without regard to case, or an empty string.
QString FindNoCase(const QStringList& list, const QString& name) {
  for (const QString& entry : list)
    if (entry.compare(name, Qt::CaseInsensitive) == 0) return entry;
  return {};
}

}  // namespace

TRegistry::TRegistry() = default;

TRegistry::~TRegistry() {
  CloseKey();
}

std::string TRegistry::FileName() {
  // Resolved on every open: the settings library caches its own user path once per process,
  // and the store must follow XDG_CONFIG_HOME as it is now.
  return (QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
          QStringLiteral("/quillbox/quillbox.ini"))
      .toStdString();
}

bool TRegistry::OpenKey(const std::string& Key, bool CanCreate) {
  CloseKey();
  auto settings =
      std::make_unique<QSettings>(QString::fromStdString(FileName()), QSettings::IniFormat);
  settings->setAtomicSyncRequired(true);
  // A line the library cannot parse is a format error that it keeps reporting, but it has read
  // every other line and writes them all back in good form: only a file that cannot be read at
  // all is a store that cannot be opened.
  if (settings->status() == QSettings::AccessError) return false;
  if (CanCreate && !settings->isWritable()) return false;

  // Walk the path one level at a time, taking each level's spelling from the file.
  QStringList found;
  bool exists = true;
  for (const QString& segment : KeySegments(Key)) {
    QString existing = exists ? FindNoCase(settings->childGroups(), segment) : QString();
    if (existing.isEmpty()) {
      exists = false;
      existing = segment;
    }
    settings->beginGroup(existing);
    found << existing;
  }
  if (!exists && !CanCreate) return false;
  group_ = found.join(u'/').toStdString();
  settings_ = std::move(settings);
  return true;
}

void TRegistry::CloseKey() {
  if (!settings_) return;
  settings_->sync();
  settings_.reset();
  group_.clear();
}

std::string TRegistry::FindKey(const std::string& Name) const {
  if (!settings_) return {};
  return FindNoCase(settings_->childKeys(), QString::fromStdString(Name)).toStdString();
}

bool TRegistry::ValueExists(const std::string& Name) const {
  return !FindKey(Name).empty();
}

int32_t TRegistry::ReadInteger(const std::string& Name) const {
  const std::string key = FindKey(Name);
  if (key.empty()) throw ERegistryException("Fehler beim Holen der Daten für '" + Name + "'");
  const QVariant v = settings_->value(QString::fromStdString(key));
  bool ok = false;
  qlonglong n = 0;
  switch (v.typeId()) {
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
      n = v.toLongLong(&ok);
      break;
    case QMetaType::QString:
      n = v.toString().trimmed().toLongLong(&ok, 10);
      break;
    default:
      break;
  }
  if (!ok || n < std::numeric_limits<int32_t>::min() || n > std::numeric_limits<int32_t>::max())
    throw ERegistryException("Ungültiger Datentyp für '" + Name + "'");
  return static_cast<int32_t>(n);
}

void TRegistry::WriteInteger(const std::string& Name, int32_t Value) {
  if (!settings_) throw ERegistryException("Fehler beim Setzen der Daten für '" + Name + "'");
  const QString name = QString::fromStdString(Name);
  for (const QString& key : settings_->childKeys())
    if (key.compare(name, Qt::CaseInsensitive) == 0) settings_->remove(key);
  settings_->setValue(name, Value);
  settings_->sync();
  if (settings_->status() == QSettings::AccessError)
    throw ERegistryException("Fehler beim Setzen der Daten für '" + Name + "'");
}

}  // namespace qb
