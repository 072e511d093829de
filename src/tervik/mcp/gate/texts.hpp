// The gates' own texts on the log and the wire, in one place: the plain gate's (ApiKeyGatehouse)
// first, then the secure gate's.  The realm is both gates'.
#pragma once

#include <string_view>

namespace texts {

constexpr std::string_view realm = R"(Bearer realm="tervik-mcp")";

// Both gates log a failed verification so.
constexpr const char* log_verify_failed = "远程校验 API Key 失败: %s";

namespace plain {
constexpr const char* log_remote_mode = "MCP Server 运行在远程校验模式，校验地址: %s";
constexpr const char* log_fixed_mode = "MCP Server 运行在固定 API Key 模式";
constexpr const char* log_unconfigured = "MCP Server 未配置任何 API Key 鉴权！";

// The 401's body: prefix, the reason as a JSON string's content, suffix.
constexpr std::string_view body_prefix =
    R"({"error":"Unauthorized","message":"Invalid or missing API Key","reason":")";
constexpr std::string_view body_suffix = R"("})";
}  // namespace plain

namespace secure {
constexpr const char* log_refused = "refused (%s): client %s, path %s";
constexpr const char* log_session_mismatch =
    "MCP session %s was opened by caller %s; caller %s (client %s) presented it and got 404";
constexpr const char* log_limit_tripped =
    "client %s had %d refused requests within %g s: answering 429 for the next %g s";
constexpr const char* log_no_endpoint =
    "an SSE stream announced no endpoint event within its first %d bytes: if it is an MCP "
    "session's, that session is not bound to its caller (logged once per gate)";
constexpr const char* backend_trouble_error = "the verification backend answered HTTP %ld";
constexpr const char* answer_too_long_error =
    "the verification backend's answer is longer than %d bytes";
constexpr const char* client_closed_error = "the gate's verification client was closed";
constexpr const char* log_keys_file_mode = "MCP Server 运行在密钥文件模式，密钥文件: %s";
constexpr const char* log_keys_file_kept =
    "the keys file %s could not be taken (%s): the keys read before stay in force";
constexpr const char* keys_file_conflict =
    "keys_file is a source of keys of its own: give it without api_key and auth_verify_url";
constexpr const char* log_store_outage =
    "the shared store is unreachable (%s): limits and verdicts are kept in this process until "
    "it answers";
constexpr const char* log_store_back =
    "the shared store answers again: %d requests were served without it";

// The 401 body's message for each reason _send_401 is given; another reason is shown as it is.
constexpr std::string_view reason_missing = "missing_api_key";
constexpr std::string_view reason_invalid = "invalid_api_key";
constexpr std::string_view reason_unverified = "verification_failed";
constexpr std::string_view message_missing = "missing API key";
constexpr std::string_view message_invalid = "invalid API key";
constexpr std::string_view message_unverified = "the API key could not be verified";

constexpr std::string_view unauthorized_prefix =
    R"({"jsonrpc":"2.0","id":null,"error":{"code":-32001,"message":"Unauthorized: )";
constexpr std::string_view unauthorized_suffix = R"("}})";
constexpr std::string_view session_not_found_body =
    R"({"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"Session not found"}})";
constexpr std::string_view verification_busy_body =
    R"({"jsonrpc":"2.0","id":null,"error":{"code":-32000,"message":"The API key cannot be verified now: retry later"}})";
constexpr std::string_view too_many_refusals_body =
    R"({"jsonrpc":"2.0","id":null,"error":{"code":-32000,"message":"Too many refused requests from this address: retry later"}})";
constexpr std::string_view no_oauth_body =
    R"({"error":"not_found","error_description":"This server takes an API key, not OAuth"})";
constexpr std::string_view realm_invalid_token =
    R"(Bearer realm="tervik-mcp", error="invalid_token")";
}  // namespace secure

}  // namespace texts
