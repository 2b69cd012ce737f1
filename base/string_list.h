#pragma once
// A list of strings kept sorted (byte order), refusing duplicates, each string with an
// owned object attached. Lookups are binary searches.

#include <memory>
#include <string>
#include <vector>

template <typename T>
class TSortedStringList {
 public:
  struct Item {
    std::string key;
    std::unique_ptr<T> object;
  };

  // Inserts at the sorted place and takes ownership. A key already present raises
  // EStringListError "String list does not allow duplicates"; the list is unchanged and
  // the object is handed back through `object` (it stays with the caller).
  void Add(const std::string& key, std::unique_ptr<T>& object);
  // The index of key, or -1.
  int IndexOf(const std::string& key) const;
  T* Find(const std::string& key) const {
    int i = IndexOf(key);
    return i < 0 ? nullptr : items_[static_cast<size_t>(i)].object.get();
  }
  int Count() const { return static_cast<int>(items_.size()); }
  const Item& operator[](int i) const { return items_.at(static_cast<size_t>(i)); }
  void Clear() { items_.clear(); }

 private:
  size_t LowerBound(const std::string& key) const;
  std::vector<Item> items_;
};

void RaiseDuplicateString();

template <typename T>
size_t TSortedStringList<T>::LowerBound(const std::string& key) const {
  size_t lo = 0, hi = items_.size();
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    if (items_[mid].key < key)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

template <typename T>
int TSortedStringList<T>::IndexOf(const std::string& key) const {
  size_t i = LowerBound(key);
  return i < items_.size() && items_[i].key == key ? static_cast<int>(i) : -1;
}

template <typename T>
void TSortedStringList<T>::Add(const std::string& key, std::unique_ptr<T>& object) {
  size_t i = LowerBound(key);
  if (i < items_.size() && items_[i].key == key) RaiseDuplicateString();
  items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(i), Item{key, std::move(object)});
}
