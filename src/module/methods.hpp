// Entry points of the module: the TdxClient methods (bound through self as their first
// positional argument) and the module functions. Each file api_*.cpp defines one family.
#pragma once

#include <Python.h>

namespace pelmora::py {

#define PELMORA_FASTCALL(name) PyObject* name(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)

// api_connection.cpp
PELMORA_FASTCALL(client_connect);
// api_security.cpp
PELMORA_FASTCALL(client_get_security_count);
PELMORA_FASTCALL(client_get_security_list);
// api_bars.cpp
PELMORA_FASTCALL(client_get_security_bars);
PELMORA_FASTCALL(client_get_index_bars);
// api_minute.cpp
PELMORA_FASTCALL(client_get_minute_time_data);
PELMORA_FASTCALL(client_get_history_minute_time_data);
// api_transactions.cpp
PELMORA_FASTCALL(client_get_transaction_data);
PELMORA_FASTCALL(client_get_history_transaction_data);
// api_quotes.cpp
PELMORA_FASTCALL(client_get_security_quotes);
// api_xdxr.cpp
PELMORA_FASTCALL(client_get_xdxr_info);
// api_finance.cpp
PELMORA_FASTCALL(client_get_finance_info);
// api_company.cpp
PELMORA_FASTCALL(client_get_company_info_category);
PELMORA_FASTCALL(client_get_company_info_content);
// api_server_files.cpp
PELMORA_FASTCALL(client_get_block_info_meta);
PELMORA_FASTCALL(client_get_block_info);
PELMORA_FASTCALL(client_get_report_file);
// api_readers.cpp
PELMORA_FASTCALL(read_daily_bars);
PELMORA_FASTCALL(read_minute_bars);
// api_ping.cpp
PELMORA_FASTCALL(ping_servers);

// The TdxClient methods with the fast-call convention, terminated by a null entry.
PyMethodDef* client_methods();
// The module functions, in the order they become module attributes; null-terminated.
PyMethodDef* module_functions();

}  // namespace pelmora::py
