// The runtime class system and the host's dynamic array.
#include <string>
#include "host_support.h"
#include "memfiler.h"

using namespace hosttest;

namespace {

std::vector<std::wstring> lineage(const AcRxClass* cls) {
  std::vector<std::wstring> names;
  for (; cls != nullptr; cls = cls->myParent()) names.push_back(cls->name());
  return names;
}

TEST(ClassSystem, HostClassesHangInOneTreeAndAreInTheClassDictionary) {
  AcRxDictionary* classes = AcRxDictionary::cast(acrxSysRegistry()->at(ACRX_CLASS_DICTIONARY));
  ASSERT_NE(classes, nullptr);
  EXPECT_EQ(classes, acrxClassDictionary());
  struct Case {
    AcRxClass* cls;
    std::vector<std::wstring> lineage;
  } cases[] = {
      {AcDbLine::desc(), {L"AcDbLine", L"AcDbCurve", L"AcDbEntity", L"AcDbObject", L"AcRxObject"}},
      {AcDbText::desc(), {L"AcDbText", L"AcDbEntity", L"AcDbObject", L"AcRxObject"}},
      {AcEditorReactor2::desc(), {L"AcEditorReactor2", L"AcEditorReactor", L"AcRxEventReactor", L"AcRxObject"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(lineage(c.cls), c.lineage);
    for (const AcRxClass* k = c.cls; k != nullptr; k = k->myParent()) {
      EXPECT_EQ(classes->at(k->name()), k) << k->name();
      EXPECT_TRUE(c.cls->isDerivedFrom(k));
    }
  }
  EXPECT_NE(AcEditor::cast(acrxSysRegistry()->at(L"AcEditor")), nullptr);
  EXPECT_NE(AcRxDynamicLinker::cast(acrxSysRegistry()->at(ACRX_DYNAMIC_LINKER)), nullptr);
}

TEST(ClassSystem, IsKindOfAndCastFollowTheTree) {
  AcDbCircle circle;
  const AcRxObject* p = &circle;
  EXPECT_EQ(p->isA(), AcDbCircle::desc());
  EXPECT_TRUE(p->isKindOf(AcDbCurve::desc()));
  EXPECT_TRUE(p->isKindOf(AcRxObject::desc()));
  EXPECT_FALSE(p->isKindOf(AcDbLine::desc()));
  EXPECT_FALSE(p->isKindOf(AcDbText::desc()));
  EXPECT_EQ(AcDbEntity::cast(p), &circle);
  EXPECT_EQ(AcDbLine::cast(p), nullptr);
  EXPECT_EQ(AcDbLine::cast(nullptr), nullptr);

  std::unique_ptr<AcRxObject> made(AcDbText::desc()->create());
  EXPECT_NE(AcDbText::cast(made.get()), nullptr);
  EXPECT_EQ(AcDbEntity::desc()->create(), nullptr);  // abstract: no pseudo-constructor
}

// A class a module would register: one integer, filed in DWG.
class KvCounter : public AcDbObject {
 public:
  ACRX_DECLARE_MEMBERS(KvCounter);
  int value = 0;
  Acad::ErrorStatus dwgOutFields(AcDbDwgFiler* f) const override {
    AcDbObject::dwgOutFields(f);
    return f->writeInt32(value);
  }
  Acad::ErrorStatus dwgInFields(AcDbDwgFiler* f) override {
    AcDbObject::dwgInFields(f);
    Adesk::Int32 v = 0;
    f->readInt32(&v);
    value = v;
    return f->filerStatus();
  }
};
// Found by name, as module classes are, so that it is known from the
// moment it is registered (proxies come back inside newAcRxClass).
AcRxClass* KvCounter::desc() { return AcRxClass::cast(acrxClassDictionary()->at(L"KvCounter")); }
AcRxClass* KvCounter::isA() const { return desc(); }

AcRxClass* registerCounter() {
  return newAcRxClass(L"KvCounter", L"AcDbObject", 27, 3, 1, [] { return static_cast<AcRxObject*>(new KvCounter); },
                      L"KV_COUNTER", L"KV_TESTAPP");
}

TEST(ClassSystem, NewClassIsRegisteredOnceAndDeletedForReal) {
  acrxSysRegistry();
  size_t start = kvhost::journal().size();
  AcRxClass* cls = registerCounter();
  ASSERT_NE(cls, nullptr);
  EXPECT_EQ(acrxClassDictionary()->at(L"KvCounter"), cls);
  EXPECT_EQ(cls->myParent(), AcDbObject::desc());
  EXPECT_STREQ(cls->dxfName(), L"KV_COUNTER");
  EXPECT_STREQ(cls->appName(), L"KV_TESTAPP");
  int maint = 0;
  EXPECT_EQ(cls->dwgVersion(maint), 27);
  EXPECT_EQ(maint, 3);
  EXPECT_EQ(cls->proxyFlags(), 1);
  EXPECT_EQ(registerCounter(), cls);  // a second registration finds the first
  std::unique_ptr<AcRxObject> made(cls->create());
  EXPECT_TRUE(made->isKindOf(AcDbObject::desc()));

  made.reset();
  deleteAcRxClass(cls);
  EXPECT_EQ(acrxClassDictionary()->at(L"KvCounter"), nullptr);
  const Lines& j = kvhost::journal();
  EXPECT_EQ(Lines(j.begin() + static_cast<long>(start), j.end()),
            (Lines{L"class KvCounter registered", L"class KvCounter removed"}));
}

TEST(ClassSystem, ObjectsOfADeletedClassBecomeProxiesAndComeBackWithIt) {
  registerCounter();
  AcDbDatabase db;
  DbLog log(&db);
  auto* counter = new KvCounter;
  counter->value = 41;
  AcDbObjectId id;
  ASSERT_EQ(db.addAcDbObject(id, counter), Acad::eOk);
  counter->close();

  deleteAcRxClass(KvCounter::desc());
  {
    AcDbObjectPointer<AcDbProxyObject> proxy(id, AcDb::kForRead);
    ASSERT_EQ(proxy.openStatus(), Acad::eOk);
    EXPECT_STREQ(proxy->originalClassName(), L"KvCounter");
  }
  registerCounter();
  {
    AcDbObjectPointer<KvCounter> back(id, AcDb::kForRead);
    ASSERT_EQ(back.openStatus(), Acad::eOk);
    EXPECT_EQ(back->value, 41);
  }
  EXPECT_EQ(log.lines, (Lines{L"appended N", L"resurrected KV_TESTAPP 1"}));
}

TEST(ClassSystemDeathTest, AbortStopsTheHostWithItsMessage) {
  EXPECT_DEATH(acrx_abort(L"cannot go on: %ls %d", L"stop", 7), "acrx_abort: cannot go on: stop 7");
  acrxSysRegistry();
  EXPECT_DEATH(newAcRxClass(L"KvOrphan", L"KvNoSuchParent", 0, 0, 0, nullptr, L"", L""),
               "Parent class KvNoSuchParent of KvOrphan is not registered");
}

// ---- AcArray ----

TEST(AcArray, GrowsByTheGrowLengthAtLeastAndKeepsElements) {
  AcArray<int> a(0, 3);
  EXPECT_EQ(a.physicalLength(), 0);
  a.append(1);
  EXPECT_EQ(a.physicalLength(), 3);
  for (int i = 2; i <= 4; ++i) a.append(i);
  EXPECT_EQ(a.physicalLength(), 6);
  EXPECT_EQ(a.length(), 4);

  AcArray<int> big;
  EXPECT_EQ(big.growLength(), 8);
  int reallocations = 0;
  for (int i = 0; i < 10000; ++i) {
    const int* before = big.asArrayPtr();
    big.append(i);
    if (big.asArrayPtr() != before) ++reallocations;
    ASSERT_GE(big.physicalLength(), big.logicalLength());
  }
  EXPECT_LT(reallocations, 20);  // not one per grow length
  for (int i = 0; i < 10000; ++i) ASSERT_EQ(big[i], i);
  EXPECT_EQ(AcArray<int>(0, 0).growLength(), 1);
  EXPECT_EQ(AcArray<int>().setGrowLength(-4).growLength(), 1);
}

TEST(AcArray, ShrinkingTheLogicalLengthKeepsTheStorage) {
  AcArray<int> a(16, 8);
  EXPECT_EQ(a.physicalLength(), 16);
  EXPECT_TRUE(a.isEmpty());
  for (int i = 0; i < 10; ++i) a.append(i);
  const int* storage = a.asArrayPtr();
  a.setLogicalLength(0);
  EXPECT_EQ(a.physicalLength(), 16);
  for (int i = 0; i < 16; ++i) a.append(i);
  a.removeAll();
  for (int i = 0; i < 16; ++i) a.append(-i);
  EXPECT_EQ(a.asArrayPtr(), storage);  // refilling within the storage allocates nothing
  a.setPhysicalLength(4);
  EXPECT_EQ(a.logicalLength(), 4);
  EXPECT_EQ(a.last(), -3);
  a.setLogicalLength(40);
  EXPECT_EQ(a.logicalLength(), 40);
  EXPECT_GE(a.physicalLength(), 40);
  EXPECT_EQ(a[3], -3);
}

TEST(AcArray, AppendInsertRemoveAndFind) {
  AcArray<int> a;
  for (int v : {5, 7, 5, 9}) a.append(v);
  int index = -1;
  EXPECT_TRUE(a.find(5, index));
  EXPECT_EQ(index, 0);
  EXPECT_TRUE(a.find(5, index, 1));
  EXPECT_EQ(index, 2);
  EXPECT_FALSE(a.find(5, index, 3));
  EXPECT_FALSE(a.contains(8));
  EXPECT_TRUE(a.remove(5));  // the first one only
  EXPECT_EQ(std::vector<int>(a.begin(), a.end()), (std::vector<int>{7, 5, 9}));
  EXPECT_FALSE(a.remove(8));
  a.insertAt(0, 1).insertAt(2, 2).insertAt(a.length(), 3);
  EXPECT_EQ(std::vector<int>(a.begin(), a.end()), (std::vector<int>{1, 7, 2, 5, 9, 3}));
  a.removeFirst().removeLast().removeAt(1);
  EXPECT_EQ(std::vector<int>(a.begin(), a.end()), (std::vector<int>{7, 5, 9}));

  AcArray<int> copy(a);
  copy.append(4);
  AcArray<int> assigned;
  assigned = copy;
  assigned[0] = 0;
  EXPECT_EQ(a.length(), 3);
  EXPECT_EQ(copy[0], 7);
  EXPECT_EQ(std::vector<int>(assigned.begin(), assigned.end()), (std::vector<int>{0, 5, 9, 4}));
}

TEST(AcArray, AppendingAnElementOfItselfWhileItGrows) {
  // Strings so that reading a moved-away element shows (under the sanitizers).
  AcArray<std::wstring> a(1, 1);
  a.append(L"a long enough string to live on the heap, not inline");
  for (int i = 0; i < 10; ++i) {
    while (a.length() < a.physicalLength()) a.append(a[0]);
    // Full: the next append moves the storage its argument lives in.
    if (i % 2)
      a.append(a[a.length() - 1]);
    else
      a.insertAt(0, a[a.length() - 1]);
  }
  EXPECT_GT(a.length(), 500);
  for (const std::wstring& s : a) ASSERT_EQ(s, L"a long enough string to live on the heap, not inline");
  AcArray<int> n;
  for (int i = 0; i < 5; ++i) n.append(i);
  n.append(n).append(n);  // the array appended to itself, twice
  EXPECT_EQ(n.length(), 20);
  for (int i = 0; i < 20; ++i) ASSERT_EQ(n[i], i % 5);
}

// ---- The DWG memory filer ----

TEST(DwgFiler, StringsAndIdsComeBackAsWritten) {
  AcDbDatabase db;
  kvhost::DwgMemoryFiler out(AcDb::kFileFiler, &db);
  const std::wstring text = L"Grüße ✓ \U0001D11E";  // two, three and four bytes in UTF-8
  out.writeString(text.c_str());
  out.writeString(L"");
  out.writeHardOwnershipId(db.namedObjectsDictionaryId());
  out.writeSoftPointerId(AcDbObjectId::kNull);
  out.writePoint3d(AcGePoint3d(1.5, -2, 1e300));
  kvhost::DwgMemoryFiler in(AcDb::kFileFiler, &db, out.bytes());
  std::wstring s1, s2 = L"stale";
  AcDbObjectId hard, soft = db.namedObjectsDictionaryId();
  AcGePoint3d p;
  in.readString(s1);
  in.readString(s2);
  in.readHardOwnershipId(&hard);
  in.readSoftPointerId(&soft);
  in.readPoint3d(&p);
  ASSERT_EQ(in.filerStatus(), Acad::eOk);
  EXPECT_TRUE(in.atEnd());
  EXPECT_EQ(s1, text);
  EXPECT_EQ(s2, L"");
  EXPECT_EQ(hard, db.namedObjectsDictionaryId());
  EXPECT_TRUE(soft.isNull());
  EXPECT_EQ(p, AcGePoint3d(1.5, -2, 1e300));
}

TEST(DwgFiler, ReadingPastTheEndFailsAndStaysFailed) {
  kvhost::DwgMemoryFiler out(AcDb::kFileFiler, nullptr);
  out.writeInt16(7);
  kvhost::DwgMemoryFiler in(AcDb::kFileFiler, nullptr, out.bytes());
  Adesk::Int32 i32 = 99;
  EXPECT_EQ(in.readInt32(&i32), Acad::eEndOfFile);
  EXPECT_EQ(i32, 99);
  Adesk::Int16 i16 = 0;
  EXPECT_EQ(in.readInt16(&i16), Acad::eEndOfFile);  // the error sticks
  in.resetFilerStatus();
  EXPECT_EQ(in.readInt16(&i16), Acad::eOk);
  EXPECT_EQ(i16, 7);

  kvhost::DwgMemoryFiler lengthOnly(AcDb::kFileFiler, nullptr);
  lengthOnly.writeUInt32(1000);  // a string length with no string behind it
  kvhost::DwgMemoryFiler cut(AcDb::kFileFiler, nullptr, lengthOnly.bytes());
  std::wstring s = L"kept";
  EXPECT_EQ(cut.readString(s), Acad::eEndOfFile);
  EXPECT_EQ(s, L"kept");
}

}  // namespace
