// INonVolatile: the settings store, addressed by (section, key). Every
// operation returns 0 on success and one of the NV_ERR_ codes otherwise.
// The trailing integer arguments are reserved and passed as 0.
#pragma once

#include "BString.h"
#include "QVExport.h"

namespace QVT {

enum ENvStatus {
  NV_OK = 0,
  NV_ERR_NOT_FOUND = 1,  // no such section or key
  NV_ERR_BAD_VALUE = 2,  // the stored text is not of the asked kind
  NV_ERR_IO = 3,         // the backing file could not be read or written
};

class QV_API INonVolatile {
 public:
  virtual ~INonVolatile() = default;

  virtual int GetString(const char* section, const char* key, BString& value, int reserved) = 0;
  // `value` keeps its preset when the read fails.
  virtual int GetInt(const char* section, const char* key, int* value, int reserved) = 0;
  virtual int SetString(const char* section, const char* key, const char* value, int reserved1, int reserved2) = 0;
  virtual int SetInt(const char* section, const char* key, int value, int reserved1, int reserved2, int reserved3) = 0;
};

// Parses a whole decimal integer (optional sign, surrounding blanks) that
// fits in an int; false otherwise.
QV_API bool QVParseInt(const char* text, int& value);

// GetInt through the store's GetString and QVParseInt, for stores that keep
// text: NV_ERR_BAD_VALUE when the text is no such integer.
QV_API int QVGetIntFromString(INonVolatile& store, const char* section, const char* key, int* value);

}  // namespace QVT
