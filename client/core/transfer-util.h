// Small pieces shared by the download, the upload and the removals.
#pragma once

#include "client/core/registry.h"
#include "event.h"
#include "protocol/object.h"
#include "ustring/ustring.h"

#include <atomic>
#include <cstdint>

class Worker;

namespace transfer
{

// Log component of every worker operation.
extern const char kComponent[];

// Block length and strong-sum length of every signature the transfers write.
const uint32_t kSignBlockLen = 2048;
const uint32_t kSignStrongLen = 8;

// Files above this size travel through the resumable protocol.
const uint64_t kResumableUploadSize = 0x80000;

// True when the worker may touch the local object of `ev`. Otherwise logs why not and sets
// `result` to what the event ends with: a path that can never be valid ends it without
// change, a link leading out of the folder gives it back (the user may remove the link).
bool GuardEventPath(const Registry::Entry &reg, const Event &ev, int worker_id, int &result);

// The two transfers that share their start.
enum class TransferKind { DOWNLOAD, UPLOAD };

// The start that downloads and uploads share: the resume token of the path, the path guard,
// the operation's filter test (logged when it does not pass), the read-lock test, and then
// the activity recorded for status reports. True when the transfer goes on; otherwise
// `result` is what the event ends with.
bool BeginTransfer(Worker &w, TransferKind kind, int &result);

// The view path of a session path: the path itself when the session's remote path is
// "/", else remote path + path.
ustring ServerPathOf(const Registry::Entry &reg, const ustring &path);

// The part of `path` after its last '/'.
ustring BaseNameOf(const ustring &path);
// Everything before the last '/' of `path` ("" when there is none).
ustring ParentOf(const ustring &path);

// Size of an existing file; 0 when it is missing, empty or cannot be examined.
uint64_t FileSizeOf(const ustring &path);

// The binary item of p "file" -> "data", or null when p holds none.
const PObject::binary_type *FileData(const PObject &p);

// One pass over `input` that writes its signature to `sign_file` and its content hash
// (32 hexadecimal digits) to `hash`; with a `copy_to` the content is also copied there,
// with a `delta_to` the delta of the content against `basis_sign` is written there.
// 0, or the reader's negative code.
int DigestFile(const ustring &input, const ustring &sign_file, ustring &hash,
               const std::atomic<bool> *abort_flag, const ustring &copy_to = ustring(),
               const ustring &delta_to = ustring(), const ustring &basis_sign = ustring());

// Applies `patch` to `basis`, writing the result to `new_file`, its signature to
// `sign_file` and its content hash to `hash` in the same pass. 0, or the reader's code.
int PatchFile(const ustring &patch, const ustring &basis, const ustring &new_file,
              const ustring &sign_file, ustring &hash, const std::atomic<bool> *abort_flag);

} // namespace transfer
