// File input and output for the extension modules, with the GIL held:
// errors become Python exceptions, and a signal that interrupts a system
// call runs its handler first (so Ctrl-C stops a read blocked on a pipe).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>

#include "kifuzan/conv/input.h"
#include "kifuzan/conv/lines.h"
#include "lib/posix_io.h"

namespace kifuzan::py {

// After an EINTR: retry unless a signal handler raised, as CPython's own I/O
// does.
struct CheckSignals {
  bool operator()() const { return PyErr_CheckSignals() == 0; }
};

// The path quoted and escaped for an error message: \\ \" \' \t \r \n,
// other non-printable characters as \u{hex}, undecodable bytes as \xHH.
std::string debug_form(std::string_view path);

// Whether the path, compared component-wise, is "-": redundant separators and
// non-leading "." components do not count, a leading "./" or "/" does.
bool is_stdout_path(std::string_view path);

// The OSError subclass Python raises for errno `err` (borrowed).
PyObject* os_error_type(int err);

// The system's text for errno `err`, in `buf` or a static string.
const char* error_text(int err, char* buf, std::size_t size);

// "<system text> (os error N)" as a new str, or nullptr with an exception set.
PyObject* os_error_message(int err);

// Raises the OSError subclass for errno `err` with the sole argument
// "<system text> (os error N)".
void raise_os_error(int err);

// Reads the file whose file-system name is `path` into `out`. Returns -1 with
// an exception set: FileNotFoundError(open_failed + debug form) when it
// cannot be opened or is a directory, the errno's OSError for a read error,
// or whatever a signal handler raised.
int read_file(std::string_view path, const char* open_failed, conv::PaddedText& out);

// Writes the lines to the file named `path` ("-" is fd 1, bypassing
// sys.stdout). A regular file, or a new one, is written beside it and renamed
// into place (through a link, the file it names), so that a failure leaves
// the old file or none; a FIFO, a device, a name under /dev or /proc, or a
// folder where no file can be added is written in place. Returns -1 with an
// exception set: OSError (create_failed + name) or OSError(write_failed), or
// a signal handler's.
int write_lines_to(std::string_view path, conv::LinesView lines, const char* create_failed,
                   const char* write_failed);

}  // namespace kifuzan::py
