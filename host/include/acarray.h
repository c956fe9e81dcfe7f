// The host's dynamic array. It keeps a logical length (the elements in use)
// and a physical length (the storage); shrinking the logical length keeps
// the storage, so arrays that are emptied and refilled stop allocating.
#pragma once
#include <algorithm>
#include <cassert>

template <class T>
class AcArrayMemCopyReallocator {};
template <class T>
class AcArrayObjectCopyReallocator {};

template <class T, class R = AcArrayMemCopyReallocator<T> >
class AcArray {
 public:
  explicit AcArray(int physicalLength = 0, int growLength = 8)
      : mGrowLen(growLength > 0 ? growLength : 1) {
    if (physicalLength > 0) setPhysicalLength(physicalLength);
  }
  AcArray(const AcArray& other) : mGrowLen(other.mGrowLen) { *this = other; }
  AcArray& operator=(const AcArray& other) {
    if (this != &other) {
      setLogicalLength(0);
      append(other);
    }
    return *this;
  }
  ~AcArray() { delete[] mpArray; }

  T& operator[](int i) { assert(i >= 0 && i < mLogicalLen); return mpArray[i]; }
  const T& operator[](int i) const { assert(i >= 0 && i < mLogicalLen); return mpArray[i]; }
  T& at(int i) { return (*this)[i]; }
  const T& at(int i) const { return (*this)[i]; }
  T& first() { return (*this)[0]; }
  T& last() { return (*this)[mLogicalLen - 1]; }

  int length() const { return mLogicalLen; }
  int logicalLength() const { return mLogicalLen; }
  int physicalLength() const { return mPhysicalLen; }
  int growLength() const { return mGrowLen; }
  bool isEmpty() const { return mLogicalLen == 0; }
  T* begin() { return mpArray; }
  T* end() { return mpArray + mLogicalLen; }
  const T* begin() const { return mpArray; }
  const T* end() const { return mpArray + mLogicalLen; }
  T* asArrayPtr() { return mpArray; }
  const T* asArrayPtr() const { return mpArray; }

  AcArray& setGrowLength(int growLength) {
    mGrowLen = growLength > 0 ? growLength : 1;
    return *this;
  }
  AcArray& setLogicalLength(int n) {
    if (n > mPhysicalLen) reserveFor(n);
    mLogicalLen = n < 0 ? 0 : n;
    return *this;
  }
  AcArray& setPhysicalLength(int n) {
    if (n == mPhysicalLen) return *this;
    T* fresh = n > 0 ? new T[n] : nullptr;
    if (mLogicalLen > n) mLogicalLen = n;
    std::copy(mpArray, mpArray + mLogicalLen, fresh);
    delete[] mpArray;
    mpArray = fresh;
    mPhysicalLen = n;
    return *this;
  }

  int append(const T& value) {
    if (mLogicalLen >= mPhysicalLen) {
      T copy = value;  // value may live in the storage that is about to move
      reserveFor(mLogicalLen + 1);
      mpArray[mLogicalLen] = copy;
    } else {
      mpArray[mLogicalLen] = value;
    }
    return mLogicalLen++;
  }
  AcArray& append(const AcArray& other) {
    const int n = other.mLogicalLen;
    if (n <= 0) return *this;
    if (mLogicalLen + n > mPhysicalLen) reserveFor(mLogicalLen + n);
    std::copy(other.mpArray, other.mpArray + n, mpArray + mLogicalLen);
    mLogicalLen += n;
    return *this;
  }
  AcArray& insertAt(int index, const T& value) {
    assert(index >= 0 && index <= mLogicalLen);
    append(value);
    std::rotate(mpArray + index, mpArray + mLogicalLen - 1, mpArray + mLogicalLen);
    return *this;
  }
  AcArray& removeAt(int index) {
    assert(index >= 0 && index < mLogicalLen);
    std::copy(mpArray + index + 1, mpArray + mLogicalLen, mpArray + index);
    --mLogicalLen;
    return *this;
  }
  AcArray& removeFirst() { return removeAt(0); }
  AcArray& removeLast() { return removeAt(mLogicalLen - 1); }
  AcArray& removeAll() { mLogicalLen = 0; return *this; }
  bool remove(const T& value, int start = 0) {
    int index;
    if (!find(value, index, start)) return false;
    removeAt(index);
    return true;
  }
  bool find(const T& value, int& index, int start = 0) const {
    for (int i = start; i < mLogicalLen; ++i)
      if (mpArray[i] == value) { index = i; return true; }
    return false;
  }
  bool contains(const T& value, int start = 0) const {
    int index;
    return find(value, index, start);
  }

 private:
  // Grow by the grow length at least and by doubling for large arrays, so
  // that filling an array element by element costs amortised constant time.
  void reserveFor(int needed) {
    int grown = mPhysicalLen + std::max(mGrowLen, mPhysicalLen);
    setPhysicalLength(std::max(needed, grown));
  }

  T* mpArray = nullptr;
  int mPhysicalLen = 0;
  int mLogicalLen = 0;
  int mGrowLen;
};

class AcDbObjectId;
typedef AcArray<void*> AcDbVoidPtrArray;
typedef AcArray<AcDbObjectId> AcDbObjectIdArray;
