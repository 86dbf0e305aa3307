// The settings store: named 32-bit integer values under a key path such as "\Software\Quillbox",
// kept per user in an INI file ($XDG_CONFIG_HOME/quillbox/quillbox.ini on Linux).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/errors.h"

class QSettings;

namespace qb {

class ERegistryException : public Exception {
 public:
  using Exception::Exception;
};

class TRegistry {
 public:
  TRegistry();
  ~TRegistry();
  TRegistry(const TRegistry&) = delete;
  TRegistry& operator=(const TRegistry&) = delete;

  // Opens the key below the current user's root. Without CanCreate a key that holds nothing
  // does not exist; with it the key is created by the first write. False when the store cannot
  // be read (or, with CanCreate, not written).
  bool OpenKey(const std::string& Key, bool CanCreate);
  void CloseKey();
  bool ValueExists(const std::string& Name) const;

  // Raises ERegistryException "Fehler beim Holen der Daten für '<Name>'" for a missing value and
  // "Ungültiger Datentyp für '<Name>'" for one that is not a 32-bit integer.
  int32_t ReadInteger(const std::string& Name) const;
  // Replaces a value whose name differs only by case; the file is rewritten atomically.
  void WriteInteger(const std::string& Name, int32_t Value);

  // The file behind the store, for the current environment.
  static std::string FileName();

 private:
  std::string FindKey(const std::string& Name) const;

  std::unique_ptr<QSettings> settings_;
  std::string group_;  // the opened key, as found in the file ("Software/Quillbox")
};

}  // namespace qb
