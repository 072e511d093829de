// tervik.amazon_rufus.services.browser: drives a local Chrome over CDP with Playwright's
// synchronous API, to open marketplace pages and capture the Rufus seed request.
//
// The module body binds, in order: json, subprocess, time, Any, Callable, the two domain
// errors, SeedRequestRecord, BrowserAttachService.  Methods look those names up in the
// module namespace when they use them, and import Playwright and httpx only when needed,
// so the module loads without either.  Each method is declared once, at the bottom.
#include <string_view>

#include "function.hpp"
#include "module.hpp"

using namespace py;

namespace {

constexpr const char* module_name = "tervik.amazon_rufus.services.browser";

// ---- the system's texts ---------------------------------------------------------------------

constexpr const char* module_doc = "浏览器 attach 服务。";
constexpr const char* service_doc = "通过 Playwright CDP 连接本地 Chrome 并捕获 seed request。";

constexpr const char* open_marketplace_doc = "打开国家站点登录窗口并保留浏览器。";
constexpr const char* capture_seed_request_doc = "捕获首个 Rufus streaming 请求。";
constexpr const char* close_new_chrome_doc = "通过 CDP 关闭本次新开的 Chrome。";
constexpr const char* start_new_chrome_doc = "新开一个固定 profile 的 Chrome 调试窗口。";
constexpr const char* wait_for_cdp_doc = "等待 Chrome DevTools HTTP 端点可用。";
constexpr const char* extract_tab_id_doc = "从 URL 或 body 中提取 tabId。";

constexpr std::string_view default_new_chrome_arguments =
    R"(--remote-debugging-port=9222 --user-data-dir="E:\chrome-profiles\tervik-rufus" --auto-open-devtools-for-tabs --no-first-run --no-default-browser-check)";

constexpr std::string_view launch_command_prefix = "Start-Process chrome.exe -ArgumentList '";
constexpr std::string_view launch_command_suffix = "'";

// Always shows the default arguments, whatever the instance holds.
constexpr std::string_view launch_failed_message =
    R"(无法启动 Chrome 调试窗口，请手动执行：Start-Process chrome.exe -ArgumentList '--remote-debugging-port=9222 --user-data-dir="E:\chrome-profiles\tervik-rufus" --auto-open-devtools-for-tabs --no-first-run --no-default-browser-check')";

constexpr const char* cdp_not_ready_prefix = "Chrome 调试窗口已启动，但 CDP 端点不可用: ";
constexpr const char* playwright_missing = "缺少 Playwright，请安装 `tervik[amazon]`";
constexpr const char* cdp_connect_failed_prefix = "无法连接 Chrome CDP: ";
constexpr const char* not_captured_head =
    "未捕获 /rufus/cl/streaming。请先执行 tervik amazon-rufus init ";
constexpr const char* not_captured_middle =
    "，并在新窗口登录 Amazon 后重试；同时确认目标站点支持 Rufus: ";

// The manual-start message repeats the default arguments word for word.
static_assert(default_new_chrome_arguments.size() == 150);
static_assert(launch_failed_message.ends_with(launch_command_suffix) &&
              launch_failed_message.substr(launch_failed_message.size() - 151, 150) ==
                  default_new_chrome_arguments);

// ---- names and constants, made once at module exec ------------------------------------------

namespace str {
// module globals
Name json{"json"}, subprocess{"subprocess"}, time{"time"};
Name ChromeCdpUnavailableError{"ChromeCdpUnavailableError"};
Name SeedRequestNotCapturedError{"SeedRequestNotCapturedError"};
Name SeedRequestRecord{"SeedRequestRecord"};
// the service's own attributes and methods
Name current_page{"current_page"}, DEFAULT_NEW_CHROME_ARGUMENTS{"DEFAULT_NEW_CHROME_ARGUMENTS"};
Name _start_new_chrome{"_start_new_chrome"}, _wait_for_cdp{"_wait_for_cdp"};
Name _extract_tab_id{"_extract_tab_id"}, _close_new_chrome{"_close_new_chrome"};
// standard library and httpx
Name run{"run"}, CalledProcessError{"CalledProcessError"}, check{"check"};
Name capture_output{"capture_output"}, text{"text"}, monotonic{"monotonic"}, sleep{"sleep"};
Name loads{"loads"}, JSONDecodeError{"JSONDecodeError"}, get{"get"}, rstrip{"rstrip"};
Name strip{"strip"}, upper{"upper"}, HTTPError{"HTTPError"}, status_code{"status_code"};
Name timeout{"timeout"}, timeout_seconds{"timeout_seconds"}, __enter__{"__enter__"},
    __exit__{"__exit__"};
// Playwright
Name sync_playwright{"sync_playwright"}, chromium{"chromium"}, connect_over_cdp{"connect_over_cdp"};
Name contexts{"contexts"}, new_context{"new_context"}, new_page{"new_page"};
Name bring_to_front{"bring_to_front"}, on{"on"}, request{"request"}, goto_{"goto"};
Name wait_until{"wait_until"}, domcontentloaded{"domcontentloaded"};
Name wait_for_timeout{"wait_for_timeout"}, url{"url"}, post_data{"post_data"}, headers{"headers"};
Name new_browser_cdp_session{"new_browser_cdp_session"}, send{"send"}, close{"close"};
Name browser_close{"Browser.close"};
// the seed record's keywords
Name request_url{"request_url"}, request_headers{"request_headers"}, request_body{"request_body"};
Name page_url{"page_url"}, tab_id{"tab_id"}, asin{"asin"}, country{"country"};
Name captured_at{"captured_at"};
// texts the methods look for or build with
Name tab_id_key{"tabId"}, tab_id_marker{"tabId="}, ampersand{"&"}, slash{"/"};
Name json_version{"/json/version"}, streaming_path{"/rufus/cl/streaming"}, empty_body{"{}"};
Name empty{""}, powershell{"powershell.exe"}, no_profile{"-NoProfile"}, command_switch{"-Command"};
}  // namespace str

PyObject* module_dict;    // the module's namespace (module globals)
PyObject* launch_prefix;  // "Start-Process chrome.exe -ArgumentList '"
PyObject* launch_suffix;  // "'"
PyObject* launch_failed;  // the manual-start message
PyObject* playwright_missing_message;
PyObject* int_0;
PyObject* int_1;
PyObject* int_5;
PyObject* int_500;
PyObject* int_1000;
PyObject* poll_interval;  // 0.25 (seconds)
FunctionProto* on_request_proto;

Object global(PyObject* name) { return lookup_global(module_dict, name); }

// Inside `except ... as caught:`: `raise <global error_name>(message) from caught`.
[[noreturn]] void raise_domain_error_from(PyObject* error_name, const Object& message,
                                          const Object& caught) {
    Handling handling(caught);
    raise_from(global(error_name)(message), caught);
}

Object concat(const Object& a, PyObject* b) { return Object::steal(PyUnicode_Concat(a.get(), b)); }
Object concat(PyObject* a, const Object& b) { return Object::steal(PyUnicode_Concat(a, b.get())); }

bool contains(const Object& container, PyObject* item) {
    int found = PySequence_Contains(container.get(), item);
    check(found);
    return found != 0;
}

bool less(const Object& a, PyObject* b) {
    int r = PyObject_RichCompareBool(a.get(), b, Py_LT);
    check(r);
    return r != 0;
}

// `with manager as value: return body(value)`.  The manager's __exit__ runs on every way
// out; an error from the block is being handled while it runs, and a true answer from it
// swallows the error, and then the block's result is None.
template <class Body>
Object with_block(const Object& manager, Body&& body) {
    Object manager_type = Object::borrow(reinterpret_cast<PyObject*>(manager.type()));
    Object enter = manager_type.attr(str::__enter__);
    Object exit = manager_type.attr(str::__exit__);
    Object value = enter(manager);

    Object result, failure;
    try {
        result = body(value);
    } catch (const Error&) {
        failure = fetch_error();
    }
    if (failure.null()) {
        exit(manager, Py_None, Py_None, Py_None);
        return result;
    }
    {
        Handling handling(failure);
        Object failure_type = Object::borrow(reinterpret_cast<PyObject*>(failure.type()));
        if (exit(manager, failure_type, failure, traceback_of(failure)).truthy()) return none();
    }
    rethrow(failure);
}

// `from playwright.sync_api import sync_playwright`, a missing Playwright reported as the
// service's own error.
Object import_sync_playwright() {
    try {
        return import_from("playwright.sync_api", str::sync_playwright);
    } catch (const Error&) {
        if (!current_error_matches(PyExc_ImportError)) throw;
        Object caught = fetch_error();
        raise_domain_error_from(str::ChromeCdpUnavailableError,
                                Object::borrow(playwright_missing_message), caught);
    }
}

// playwright.chromium.connect_over_cdp(cdp_url); any failure is "cannot connect".
Object connect_over_cdp(const Object& playwright, const Object& cdp_url) {
    try {
        return playwright.attr(str::chromium).call_method(str::connect_over_cdp, cdp_url);
    } catch (const Error&) {
        if (!current_error_matches(PyExc_Exception)) throw;
        Object caught = fetch_error();
        Object message =
            Object::steal(PyUnicode_FromFormat("%s%U", cdp_connect_failed_prefix, cdp_url.get()));
        raise_domain_error_from(str::ChromeCdpUnavailableError, message, caught);
    }
}

// The attached Chrome's first context (the one the user signs in to), or a new one.
Object choose_context(const Object& browser) {
    if (browser.attr(str::contexts).truthy()) return browser.attr(str::contexts).item(int_0);
    return browser.call_method(str::new_context);
}

// ---- BrowserAttachService.__init__ ----------------------------------------------------------

void service_init(Object self) { self.set_attr(str::current_page, Py_None); }

// ---- BrowserAttachService.open_marketplace_for_login ----------------------------------------

void open_marketplace_for_login(Object self, Object marketplace_url, Object cdp_url,
                                Object timeout_seconds) {
    self.call_method(str::_start_new_chrome);
    self.call_method(str::_wait_for_cdp, cdp_url, kw(str::timeout_seconds, int_5));
    Object sync_playwright = import_sync_playwright();

    with_block(sync_playwright(), [&](const Object& playwright) {
        Object browser = connect_over_cdp(playwright, cdp_url);
        Object page = choose_context(browser).call_method(str::new_page);
        Object timeout_ms = Object::steal(PyNumber_Multiply(timeout_seconds.get(), int_1000));
        page.call_method(str::goto_, marketplace_url,
                         kw(str::wait_until, str::domcontentloaded.get()),
                         kw(str::timeout, timeout_ms));
        page.call_method(str::bring_to_front);
        self.set_attr(str::current_page, page);
        return none();
    });
}

// ---- BrowserAttachService.capture_seed_request ----------------------------------------------

// What `on_request` closes over, in this order.
enum Captured { c_self, c_captured, c_page, c_page_url, c_asin, c_country };

Object normalized(const Object& code) {
    return code.call_method(str::strip).call_method(str::upper);
}

// Records the tab's first Rufus streaming request; Playwright calls it for every request.
Object on_request(Object closure, Object request) {
    auto cell = [&](Captured i) { return Object::borrow(PyTuple_GET_ITEM(closure.get(), i)); };
    if (!contains(request.attr(str::url), str::streaming_path)) return none();
    Object captured = cell(c_captured);
    if (captured.truthy()) return none();

    Object body = request.attr(str::post_data);
    if (!body.truthy()) body = Object::borrow(str::empty_body);

    Object record_type = global(str::SeedRequestRecord);
    Object request_url = request.attr(str::url);
    Object request_headers =
        Object::borrow(reinterpret_cast<PyObject*>(&PyDict_Type))(request.attr(str::headers));
    Object page_url = cell(c_page).attr(str::url);
    if (!page_url.truthy()) page_url = cell(c_page_url);
    Object tab_id = cell(c_self).call_method(str::_extract_tab_id, request.attr(str::url), body);
    Object asin = normalized(cell(c_asin));
    Object country = normalized(cell(c_country));
    Object now_ms =
        Object::steal(PyNumber_Multiply(global(str::time).call_method(str::time).get(), int_1000));
    Object captured_at = Object::steal(PyNumber_Long(now_ms.get()));

    Object record = record_type(
        kw(str::request_url, request_url), kw(str::request_headers, request_headers),
        kw(str::request_body, body), kw(str::page_url, page_url), kw(str::tab_id, tab_id),
        kw(str::asin, asin), kw(str::country, country), kw(str::captured_at, captured_at));
    check(PyList_Append(captured.get(), record.get()));
    return none();
}

// Steps inside the connection: open the tab, listen, navigate, pause, hand over the seed.
Object capture_in_new_tab(const Object& self, const Object& browser, const Object& captured,
                          const Object& asin, const Object& country, const Object& page_url,
                          const Object& deadline_ms, const Object& on_captured) {
    Object page = choose_context(browser).call_method(str::new_page);
    page.call_method(str::bring_to_front);
    self.set_attr(str::current_page, page);

    Object handler =
        make_function(on_request_proto, tuple(self, captured, page, page_url, asin, country).get());
    page.call_method(str::on, str::request, handler);
    page.call_method(str::goto_, page_url, kw(str::wait_until, str::domcontentloaded.get()),
                     kw(str::timeout, deadline_ms));
    Object pause =
        less(Object::borrow(int_1000), deadline_ms.get()) ? Object::borrow(int_1000) : deadline_ms;
    page.call_method(str::wait_for_timeout, pause);

    if (!captured.truthy()) {
        Object message = Object::steal(PyUnicode_FromFormat("%s%U%s%U", not_captured_head,
                                                            normalized(country).get(),
                                                            not_captured_middle, page_url.get()));
        raise(global(str::SeedRequestNotCapturedError)(message));
    }
    Object seed = captured.item(int_0);
    if (on_captured.truthy()) on_captured(page, seed);
    return seed;
}

Object capture_seed_request(Object self, Object asin, Object country, Object page_url,
                            Object cdp_url, Object timeout_seconds, Object new_chrome,
                            Object keep_chrome_open, Object on_captured) {
    // The binder hands these two over as True/False.
    const bool started_chrome = new_chrome.is(Py_True);
    const bool close_chrome = started_chrome && !keep_chrome_open.is(Py_True);

    if (started_chrome) {
        self.call_method(str::_start_new_chrome);
        self.call_method(str::_wait_for_cdp, cdp_url, kw(str::timeout_seconds, int_5));
    }
    Object sync_playwright = import_sync_playwright();
    Object deadline_ms = Object::steal(PyNumber_Multiply(timeout_seconds.get(), int_1000));
    Object captured = new_list();

    return with_block(sync_playwright(), [&](const Object& playwright) {
        Object browser = connect_over_cdp(playwright, cdp_url);

        // try: ... finally: close the Chrome this call started.
        Object seed, failure;
        try {
            seed = capture_in_new_tab(self, browser, captured, asin, country, page_url, deadline_ms,
                                      on_captured);
        } catch (const Error&) {
            failure = fetch_error();
        }
        if (close_chrome) {
            if (failure.null()) {
                self.call_method(str::_close_new_chrome, browser);
            } else {
                Handling handling(failure);  // an error here replaces the pending one
                self.call_method(str::_close_new_chrome, browser);
            }
        }
        if (!failure.null()) rethrow(failure);
        return seed;
    });
}

// ---- BrowserAttachService._close_new_chrome -------------------------------------------------

void close_new_chrome(Object /*self*/, Object browser) {
    Object cdp_failure;
    try {
        browser.call_method(str::new_browser_cdp_session)
            .call_method(str::send, str::browser_close);
        return;
    } catch (const Error&) {
        if (!current_error_matches(PyExc_Exception)) throw;
        cdp_failure = fetch_error();
    }
    // The CDP route failed: fall back to the connection's own close, if it has one.
    Handling handling(cdp_failure);
    Object close = browser.attr_or_null(str::close);
    if (!close.null() && PyCallable_Check(close.get())) close();
}

// ---- BrowserAttachService._start_new_chrome -------------------------------------------------

void start_new_chrome(Object self) {
    Object arguments = self.attr(str::DEFAULT_NEW_CHROME_ARGUMENTS);
    if (!PyUnicode_CheckExact(arguments.get())) {
        arguments = Object::steal(PyObject_Format(arguments.get(), str::empty));
    }
    Object command = concat(concat(launch_prefix, arguments), launch_suffix);
    Object argv =
        Object::steal(Py_BuildValue("[OOOO]", str::powershell.get(), str::no_profile.get(),
                                    str::command_switch.get(), command.get()));
    try {
        global(str::subprocess)
            .call_method(str::run, argv, kw(str::check, Py_True), kw(str::capture_output, Py_True),
                         kw(str::text, Py_True));
    } catch (const Error&) {
        Object caught = fetch_error();
        bool launch_failed_error;
        {
            Handling handling(caught);
            Object called_process_error = global(str::subprocess).attr(str::CalledProcessError);
            launch_failed_error = error_matches(
                caught, tuple(Object::borrow(PyExc_OSError), called_process_error).get());
        }
        if (!launch_failed_error) rethrow(caught);
        raise_domain_error_from(str::ChromeCdpUnavailableError, Object::borrow(launch_failed),
                                caught);
    }
}

// ---- BrowserAttachService._wait_for_cdp -----------------------------------------------------

Object monotonic() { return global(str::time).call_method(str::monotonic); }

void wait_for_cdp(Object /*self*/, Object cdp_url, Object timeout_seconds) {
    Object httpx = import("httpx");
    Object deadline = Object::steal(PyNumber_Add(monotonic().get(), timeout_seconds.get()));
    Object last_error;
    Object version_url = concat(cdp_url.call_method(str::rstrip, str::slash), str::json_version);

    while (less(monotonic(), deadline.get())) {
        try {
            Object response = httpx.call_method(str::get, version_url, kw(str::timeout, int_1));
            if (less(response.attr(str::status_code), int_500)) return;
        } catch (const Error&) {
            Object caught = fetch_error();
            bool http_error;
            {
                Handling handling(caught);
                http_error = error_matches(caught, httpx.attr(str::HTTPError).get());
            }
            if (!http_error) rethrow(caught);
            last_error = caught;
        }
        global(str::time).call_method(str::sleep, poll_interval);
    }
    Object message =
        Object::steal(PyUnicode_FromFormat("%s%U", cdp_not_ready_prefix, cdp_url.get()));
    raise_from(global(str::ChromeCdpUnavailableError)(message), last_error);
}

// ---- BrowserAttachService._extract_tab_id ---------------------------------------------------

Object extract_tab_id(Object /*self*/, Object request_url, Object request_body) {
    // The URL first: whatever follows the first "tabId=", up to the next "&", as it stands.
    Py_ssize_t length = PyUnicode_GET_LENGTH(request_url.get());
    Py_ssize_t marker = PyUnicode_Find(request_url.get(), str::tab_id_marker, 0, length, 1);
    if (marker == -2) throw Error{};
    if (marker >= 0) {
        Py_ssize_t start = marker + PyUnicode_GET_LENGTH(str::tab_id_marker.get());
        Py_ssize_t end = PyUnicode_Find(request_url.get(), str::ampersand, start, length, 1);
        if (end == -2) throw Error{};
        return Object::steal(PyUnicode_Substring(request_url.get(), start, end < 0 ? length : end));
    }

    // Then the body's top-level "tabId" or "tab_id".
    Object data;
    try {
        data = global(str::json).call_method(str::loads, request_body);
    } catch (const Error&) {
        Object caught = fetch_error();
        bool not_json;
        {
            Handling handling(caught);
            not_json = error_matches(caught, global(str::json).attr(str::JSONDecodeError).get());
        }
        if (!not_json) rethrow(caught);
        return Object::borrow(str::empty);
    }
    Object value = data.call_method(str::get, str::tab_id_key);
    if (!value.truthy()) value = data.call_method(str::get, str::tab_id);
    if (!value.truthy()) return Object::borrow(str::empty);
    if (PyUnicode_Check(value.get())) return value;
    return Object::steal(PyObject_Str(value.get()));
}

// ---- declarations ---------------------------------------------------------------------------

const Param self_param{.name = "self"};

Param keyword(const char* name, const char* annotation, Check check, Default value = {}) {
    return {.name = name,
            .annotation = annotation,
            .check = check,
            .default_value = value,
            .keyword_only = true};
}

const FunctionDef init_def{
    .name = "__init__",
    .qualname = "BrowserAttachService.__init__",
    .returns = "None",
    .params = {self_param},
    .body = fn<&service_init>,
};

const FunctionDef open_marketplace_def{
    .name = "open_marketplace_for_login",
    .qualname = "BrowserAttachService.open_marketplace_for_login",
    .doc = open_marketplace_doc,
    .returns = "None",
    .params = {self_param, keyword("marketplace_url", "str", Check::str),
               keyword("cdp_url", "str", Check::str),
               keyword("timeout_seconds", "int", Check::integer, Default::Int(30))},
    .body = fn<&open_marketplace_for_login>,
};

const FunctionDef capture_seed_request_def{
    .name = "capture_seed_request",
    .qualname = "BrowserAttachService.capture_seed_request",
    .doc = capture_seed_request_doc,
    .returns = "SeedRequestRecord",
    .params = {self_param, keyword("asin", "str", Check::str),
               keyword("country", "str", Check::str), keyword("page_url", "str", Check::str),
               keyword("cdp_url", "str", Check::str),
               keyword("timeout_seconds", "int", Check::integer),
               keyword("new_chrome", "bool", Check::boolean, Default::Bool(false)),
               keyword("keep_chrome_open", "bool", Check::boolean, Default::Bool(false)),
               keyword("on_captured", "Callable[[Any, SeedRequestRecord], None] | None", Check::any,
                       Default::None())},
    .body = fn<&capture_seed_request>,
};

const FunctionDef on_request_def{
    .name = "on_request",
    .qualname = "BrowserAttachService.capture_seed_request.<locals>.on_request",
    .returns = "None",
    .params = {{.name = "request", .annotation = "Any"}},
    .body = closure_fn<&on_request>,
};

const FunctionDef close_new_chrome_def{
    .name = "_close_new_chrome",
    .qualname = "BrowserAttachService._close_new_chrome",
    .doc = close_new_chrome_doc,
    .returns = "None",
    .params = {self_param, {.name = "browser", .annotation = "Any"}},
    .body = fn<&close_new_chrome>,
};

const FunctionDef start_new_chrome_def{
    .name = "_start_new_chrome",
    .qualname = "BrowserAttachService._start_new_chrome",
    .doc = start_new_chrome_doc,
    .returns = "None",
    .params = {self_param},
    .body = fn<&start_new_chrome>,
};

const FunctionDef wait_for_cdp_def{
    .name = "_wait_for_cdp",
    .qualname = "BrowserAttachService._wait_for_cdp",
    .doc = wait_for_cdp_doc,
    .returns = "None",
    .params = {self_param,
               {.name = "cdp_url", .annotation = "str", .check = Check::str},
               keyword("timeout_seconds", "int", Check::integer)},
    .body = fn<&wait_for_cdp>,
};

const FunctionDef extract_tab_id_def{
    .name = "_extract_tab_id",
    .qualname = "BrowserAttachService._extract_tab_id",
    .doc = extract_tab_id_doc,
    .returns = "str",
    .params = {self_param,
               {.name = "request_url", .annotation = "str", .check = Check::str},
               {.name = "request_body", .annotation = "str", .check = Check::str}},
    .body = fn<&extract_tab_id>,
};

Object method(const FunctionDef& def) { return make_function(compile(def, module_name)); }

// ---- module body ----------------------------------------------------------------------------

void build_constants() {
    launch_prefix = text(launch_command_prefix).release();
    launch_suffix = text(launch_command_suffix).release();
    launch_failed = text(launch_failed_message).release();
    playwright_missing_message = text(playwright_missing).release();
    int_0 = integer(0).release();
    int_1 = integer(1).release();
    int_5 = integer(5).release();
    int_500 = integer(500).release();
    int_1000 = integer(1000).release();
    poll_interval = Object::steal(PyFloat_FromDouble(0.25)).release();
    on_request_proto = compile(on_request_def, module_name);
}

void browser_body(Object module) {
    module_dict = PyModule_GetDict(module.get());
    build_constants();

    module.set_attr(str::json, import("json"));
    module.set_attr(str::subprocess, import("subprocess"));
    module.set_attr(str::time, import("time"));
    for (const char* name : {"Any", "Callable"}) {
        Object key = text(name);
        module.set_attr(key.get(), import_from("typing", key.get()));
    }
    for (PyObject* name :
         {str::ChromeCdpUnavailableError.get(), str::SeedRequestNotCapturedError.get()}) {
        module.set_attr(name, import_from("tervik.amazon_rufus.domain.exceptions", name));
    }
    module.set_attr(str::SeedRequestRecord,
                    import_from("tervik.amazon_rufus.domain.models", str::SeedRequestRecord));

    module.set_attr(
        text("BrowserAttachService").get(),
        make_class("BrowserAttachService", module_name, service_doc,
                   {{"DEFAULT_NEW_CHROME_ARGUMENTS", text(default_new_chrome_arguments)},
                    {"__init__", method(init_def)},
                    {"open_marketplace_for_login", method(open_marketplace_def)},
                    {"capture_seed_request", method(capture_seed_request_def)},
                    {"_close_new_chrome", method(close_new_chrome_def)},
                    {"_start_new_chrome", method(start_new_chrome_def)},
                    {"_wait_for_cdp", method(wait_for_cdp_def)},
                    {"_extract_tab_id", method(extract_tab_id_def)}}));
}

ModuleDefinition browser_module = module_definition(
    "browser", module_name, module_doc, "tervik/amazon_rufus/services/browser.cpp", browser_body);

}  // namespace

PyMODINIT_FUNC PyInit_browser() { return init_module(browser_module); }
