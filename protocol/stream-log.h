// Shared by the stream's source files: the log component of the stream ("stream").
#pragma once

#include "ustring/ustring.h"

const ustring &PStreamComponent();
