#include <utility>

#include "foundation/Clock.h"
#include "foundation/SecureMemory.h"
#include "passstorage/KLPassStorage.h"

namespace kl {

TKLPassRecord::TKLPassRecord() : FGroup(DefaultPassGroup), FCreationDate(NowUnixSeconds()) {}

TKLPassRecord::TKLPassRecord(const String& Title, const String& Username, const String& Password, const String& URL,
                             const String& Note, const String& Group)
    : FGroup(Group),
      FTitle(Title),
      FUsername(Username),
      FPassword(Password),
      FURL(URL),
      FNote(Note),
      FCreationDate(NowUnixSeconds()) {}

TKLPassRecord::~TKLPassRecord() { WipeString(FPassword); }

String TKLPassRecord::GetField(TField Field) { return ReadField(Field, NowUnixSeconds()); }

// The old text is wiped before it is replaced, since assigning could free its
// buffer unwiped. The copy is made first, so a failed allocation changes nothing.
void TKLPassRecord::SetField(TField Field, const String& Value) {
  String& field = this->*Field;
  if (field == Value) return;
  String copy(Value);
  WipeString(field);
  field = std::move(copy);
  FModificationDate = NowUnixSeconds();
}

String TKLPassRecord::GetGroup() { return GetField(&TKLPassRecord::FGroup); }
String TKLPassRecord::GetTitle() { return GetField(&TKLPassRecord::FTitle); }
String TKLPassRecord::GetUsername() { return GetField(&TKLPassRecord::FUsername); }
String TKLPassRecord::GetPassword() { return GetField(&TKLPassRecord::FPassword); }
String TKLPassRecord::GetURL() { return GetField(&TKLPassRecord::FURL); }
String TKLPassRecord::GetNote() { return GetField(&TKLPassRecord::FNote); }

void TKLPassRecord::SetGroup(const String& Value) { SetField(&TKLPassRecord::FGroup, Value); }
void TKLPassRecord::SetTitle(const String& Value) { SetField(&TKLPassRecord::FTitle, Value); }
void TKLPassRecord::SetUsername(const String& Value) { SetField(&TKLPassRecord::FUsername, Value); }
void TKLPassRecord::SetPassword(const String& Value) { SetField(&TKLPassRecord::FPassword, Value); }
void TKLPassRecord::SetURL(const String& Value) { SetField(&TKLPassRecord::FURL, Value); }
void TKLPassRecord::SetNote(const String& Value) { SetField(&TKLPassRecord::FNote, Value); }

} // namespace kl
