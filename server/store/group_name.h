// The rule for acceptable newsgroup names, shared by the index cache and the
// full group list.
//
// Threading: pure function, any thread.
#pragma once

// True when name contains a byte from 0x01 to 0x1F or one of the characters
// " < > | * ? : \ / , ; or ends with "."; such a name can be neither a group
// nor a file name. The empty name is not judged here (callers report it as
// E_NULL_GROUP_NAME).
bool GroupNameInvalid(const char *name);
