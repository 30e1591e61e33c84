// kifuzan._native's mjlog functions: mjlog XML to a tenhou.net/6 document
// and to mjai.

#include "kifuzan/mjlog/pipeline.h"
#include "lib/native.h"

namespace kifuzan::native {

using conv::Lines;
using namespace kifuzan::py;

constexpr const char* k_mjlog_doc_params[] = {"xml", "ref"};
constexpr Signature k_mjlog_doc_signature = {"mjlog_to_tenhou6", k_mjlog_doc_params, 1, 2};

PyObject* py_mjlog_to_tenhou6(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    PyObject* bound[2];
    if (bind_arguments(k_mjlog_doc_signature, args, nargs, kwnames, bound) < 0) {
      return nullptr;
    }
    Py_ssize_t size;
    const char* xml = str_argument("xml", bound[0], &size);
    if (xml == nullptr) {
      return nullptr;
    }
    std::optional<std::string_view> ref;
    if (optional_str_argument("ref", bound[1], ref) < 0) {
      return nullptr;
    }
    // Any game: a three-player record gives tenhou's own three-player document.
    auto doc = kifuzan::mjlog::read_mjlog(std::string_view(xml, static_cast<std::size_t>(size)), true);
    if (!doc) {
      raise_error(doc.error());
      return nullptr;
    }
    const std::string text = kifuzan::mjlog::write_tenhou6(doc.value(), ref);
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
  } catch (...) {
    raise_from_cpp_exception(internal_error_type);
    return nullptr;
  }
}

constexpr const char* k_mjlog_params[] = {"xml"};
constexpr Signature k_mjlog_signature = {"mjlog_to_mjai", k_mjlog_params, 1, 1};

PyObject* py_mjlog_to_mjai(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    std::string_view xml;
    if (bind_str_argument(k_mjlog_signature, args, nargs, kwnames, xml) == nullptr) {
      return nullptr;
    }
    auto lines = kifuzan::mjlog::mjlog_to_mjai_lines(xml);
    if (!lines) {
      // MjlogError, or what the same document's JSON text raises from
      // tenhou_to_mjai.
      raise_error(lines.error());
      return nullptr;
    }
    return lines_to_list(lines.value());
  } catch (...) {
    raise_from_cpp_exception(internal_error_type);
    return nullptr;
  }
}

PyMethodDef g_mjlog_methods[] = {
    {"mjlog_to_tenhou6", as_cfunction(py_mjlog_to_tenhou6), METH_FASTCALL | METH_KEYWORDS,
     "mjlog_to_tenhou6(xml, ref=None)\n--\n\n"
     "The tenhou.net/6 JSON text of an mjlog XML record, as tenhou's own\n"
     "service gives it. ref goes into \"ref\" (otherwise the record's own,\n"
     "which is empty). A three-player record gives tenhou's own three-player\n"
     "document: seat 3 empty, \"f44\" in the discard list for each kita.\n"
     "Raises MjlogError for a text that is not an mjlog record."},
    {"mjlog_to_mjai", as_cfunction(py_mjlog_to_mjai), METH_FASTCALL | METH_KEYWORDS,
     "mjlog_to_mjai(xml)\n--\n\n"
     "The mjai events of an mjlog XML record: equal to\n"
     "tenhou_to_mjai(mjlog_to_tenhou6(xml)), raising the same exception when\n"
     "the converter refuses the document, and MjlogError for a text that is\n"
     "not a four-player mjlog record."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kifuzan::native
