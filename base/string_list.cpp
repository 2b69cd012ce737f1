#include "base/string_list.h"

#include "base/exception.h"

void RaiseDuplicateString() {
  throw EStringListError("String list does not allow duplicates");
}
