// tervik.amazon_rufus.services.browser: drives a local Chrome over CDP with Playwright's
// synchronous API, to open marketplace pages and capture the Rufus seed request.
//
// The module body binds, in order: json, subprocess, time, Any, Callable, the two domain
// errors, SeedRequestRecord, BrowserAttachService.  Methods look those names up in the
// module namespace when they use them, and import Playwright and httpx only when needed,
// so the module loads without either.  Each method sits in one section: its body, then its
// declaration (parameters, annotations, docstring).
#include <string_view>

#include "function.hpp"
#include "module.hpp"

using namespace py;

namespace {

constexpr const char* module_name = "tervik.amazon_rufus.services.browser";

// ---- the system's texts ---------------------------------------------------------------------

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
Name timeout{"timeout"}, timeout_seconds{"timeout_seconds"};
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

Constant launch_prefix;  // "Start-Process chrome.exe -ArgumentList '"
Constant launch_suffix;  // "'"
Constant launch_failed;  // the manual-start message
Constant playwright_missing_message;
Constant int_0, int_1, int_5, int_500, int_1000;
Constant poll_interval;  // 0.25 (seconds)

void browser_body(Object module);
ModuleDefinition browser("browser", module_name, "浏览器 attach 服务。",
                         "tervik/amazon_rufus/services/browser.cpp", browser_body);

const Param self_param{.name = "self"};

// ---- helpers ------------------------------------------------------------------------------------

// Inside `except ... as caught:`: `raise <module global error_name>(message) from caught`.
[[noreturn]] void raise_domain_error_from(PyObject* error_name, const Object& message,
                                          const Error& caught) {
    Handling handling(caught);
    raise_from(browser.global(error_name)(message), caught.exception());
}

Object concat(const Object& a, PyObject* b) { return Object::steal(PyUnicode_Concat(a.get(), b)); }
Object concat(PyObject* a, const Object& b) { return Object::steal(PyUnicode_Concat(a, b.get())); }

bool less(const Object& a, PyObject* b) {
    return check(PyObject_RichCompareBool(a.get(), b, Py_LT)) != 0;
}

// isinstance(caught, <what>), asked while `caught` is being handled.
template <class Types>
bool caught_matches(const Error& caught, Types&& types) {
    Handling handling(caught);
    return caught.matches(Object(types()).get());
}

// `from playwright.sync_api import sync_playwright`, a missing Playwright reported as the
// service's own error.
Object import_sync_playwright() {
    try {
        return import_from("playwright.sync_api", str::sync_playwright);
    } catch (const Error& caught) {
        if (!caught.matches(PyExc_ImportError)) throw;
        raise_domain_error_from(str::ChromeCdpUnavailableError,
                                Object::borrow(playwright_missing_message), caught);
    }
}

// playwright.chromium.connect_over_cdp(cdp_url); any failure is "cannot connect".
Object connect_over_cdp(const Object& playwright, const Object& cdp_url) {
    try {
        return playwright.attr(str::chromium).call_method(str::connect_over_cdp, cdp_url);
    } catch (const Error& caught) {
        if (!caught.matches(PyExc_Exception)) throw;
        Object message =
            Object::steal(PyUnicode_FromFormat("%s%U", cdp_connect_failed_prefix, cdp_url.get()));
        raise_domain_error_from(str::ChromeCdpUnavailableError, message, caught);
    }
}

// The attached Chrome's first context (the one the user signs in to), or a new one.
Object choose_context(const Object& browser_connection) {
    if (browser_connection.attr(str::contexts).truthy())
        return browser_connection.attr(str::contexts).item(int_0);
    return browser_connection.call_method(str::new_context);
}

// ---- class BrowserAttachService -----------------------------------------------------------------

constexpr const char* service_doc = "通过 Playwright CDP 连接本地 Chrome 并捕获 seed request。";

// ---- BrowserAttachService.__init__ ----------------------------------------------------------

void service_init(Object self) { self.set_attr(str::current_page, Py_None); }

const FunctionDef init_def{
    .name = "__init__",
    .qualname = "BrowserAttachService.__init__",
    .returns = "None",
    .params = {self_param},
    .body = fn<&service_init>,
};

// ---- BrowserAttachService.open_marketplace_for_login ----------------------------------------

void open_marketplace_for_login(Object self, Object marketplace_url, Object cdp_url,
                                Object timeout_seconds) {
    self.call_method(str::_start_new_chrome);
    self.call_method(str::_wait_for_cdp, cdp_url, kw(str::timeout_seconds, int_5));
    Object sync_playwright = import_sync_playwright();

    with_block(sync_playwright(), [&](const Object& playwright) {
        Object page =
            choose_context(connect_over_cdp(playwright, cdp_url)).call_method(str::new_page);
        Object timeout_ms = Object::steal(PyNumber_Multiply(timeout_seconds.get(), int_1000));
        page.call_method(str::goto_, marketplace_url, kw(str::wait_until, str::domcontentloaded),
                         kw(str::timeout, std::move(timeout_ms)));
        page.call_method(str::bring_to_front);
        self.set_attr(str::current_page, page);
        return none();
    });
}

const FunctionDef open_marketplace_def{
    .name = "open_marketplace_for_login",
    .qualname = "BrowserAttachService.open_marketplace_for_login",
    .doc = "打开国家站点登录窗口并保留浏览器。",
    .returns = "None",
    .params = {self_param, keyword("marketplace_url", "str", Check::str),
               keyword("cdp_url", "str", Check::str),
               keyword("timeout_seconds", "int", Check::integer, Default::Int(30))},
    .body = fn<&open_marketplace_for_login>,
};

// ---- BrowserAttachService.capture_seed_request ----------------------------------------------

// What `on_request` closes over, in this order.
enum Captured { c_self, c_captured, c_page, c_page_url, c_asin, c_country };

Object normalized(const Object& code) {
    return code.call_method(str::strip).call_method(str::upper);
}

// Records the tab's first Rufus streaming request; Playwright calls it for every request.
Object on_request(Object closure, Object request) {
    auto cell = [&](Captured i) { return Object::borrow(PyTuple_GET_ITEM(closure.get(), i)); };
    if (!request.attr(str::url).contains(str::streaming_path)) return none();
    Object captured = cell(c_captured);
    if (captured.truthy()) return none();

    Object body = request.attr(str::post_data);
    if (!body.truthy()) body = Object::borrow(str::empty_body);

    Object record_type = browser.global(str::SeedRequestRecord);
    Object request_url = request.attr(str::url);
    Object request_headers =
        Object::borrow(reinterpret_cast<PyObject*>(&PyDict_Type))(request.attr(str::headers));
    Object page_url = cell(c_page).attr(str::url);
    if (!page_url.truthy()) page_url = cell(c_page_url);
    Object tab_id = cell(c_self).call_method(str::_extract_tab_id, request.attr(str::url), body);
    Object asin = normalized(cell(c_asin));
    Object country = normalized(cell(c_country));
    Object now_ms = Object::steal(
        PyNumber_Multiply(browser.global(str::time).call_method(str::time).get(), int_1000));
    Object captured_at = Object::steal(PyNumber_Long(now_ms.get()));

    Object record = record_type(
        kw(str::request_url, request_url), kw(str::request_headers, request_headers),
        kw(str::request_body, body), kw(str::page_url, page_url), kw(str::tab_id, tab_id),
        kw(str::asin, asin), kw(str::country, country), kw(str::captured_at, captured_at));
    check(PyList_Append(captured.get(), record.get()));
    return none();
}

const FunctionDef on_request_def{
    .name = "on_request",
    .qualname = "BrowserAttachService.capture_seed_request.<locals>.on_request",
    .returns = "None",
    .params = {{.name = "request", .annotation = "Any"}},
    .body = closure_fn<&on_request>,
};
FunctionProto* on_request_proto;

// Steps inside the connection: open the tab, listen, navigate, pause, hand over the seed.
Object capture_in_new_tab(const Object& self, const Object& browser_connection,
                          const Object& captured, const Object& asin, const Object& country,
                          const Object& page_url, const Object& deadline_ms,
                          const Object& on_captured) {
    Object page = choose_context(browser_connection).call_method(str::new_page);
    page.call_method(str::bring_to_front);
    self.set_attr(str::current_page, page);

    page.call_method(str::on, str::request,
                     make_function(on_request_proto,
                                   tuple(self, captured, page, page_url, asin, country).get()));
    page.call_method(str::goto_, page_url, kw(str::wait_until, str::domcontentloaded),
                     kw(str::timeout, deadline_ms));
    Object pause =
        less(Object::borrow(int_1000), deadline_ms.get()) ? Object::borrow(int_1000) : deadline_ms;
    page.call_method(str::wait_for_timeout, pause);

    if (!captured.truthy()) {
        Object message = Object::steal(PyUnicode_FromFormat("%s%U%s%U", not_captured_head,
                                                            normalized(country).get(),
                                                            not_captured_middle, page_url.get()));
        raise(browser.global(str::SeedRequestNotCapturedError)(message));
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
        Object browser_connection = connect_over_cdp(playwright, cdp_url);
        // try: ... finally: close the Chrome this call started.
        Object seed;
        try {
            seed = capture_in_new_tab(self, browser_connection, captured, asin, country, page_url,
                                      deadline_ms, on_captured);
        } catch (const Error& failure) {
            if (close_chrome) {
                Handling handling(failure);  // an error here takes the pending one's place
                self.call_method(str::_close_new_chrome, browser_connection);
            }
            throw;
        }
        if (close_chrome) self.call_method(str::_close_new_chrome, browser_connection);
        return seed;
    });
}

const FunctionDef capture_seed_request_def{
    .name = "capture_seed_request",
    .qualname = "BrowserAttachService.capture_seed_request",
    .doc = "捕获首个 Rufus streaming 请求。",
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

// ---- BrowserAttachService._close_new_chrome -------------------------------------------------

void close_new_chrome(Object /*self*/, Object browser_connection) {
    try {
        browser_connection.call_method(str::new_browser_cdp_session)
            .call_method(str::send, str::browser_close);
    } catch (const Error& cdp_failure) {
        if (!cdp_failure.matches(PyExc_Exception)) throw;
        // The CDP route failed: fall back to the connection's own close, if it has one.
        Handling handling(cdp_failure);
        Object close = browser_connection.attr_or_null(str::close);
        if (!close.null() && PyCallable_Check(close.get())) close();
    }
}

const FunctionDef close_new_chrome_def{
    .name = "_close_new_chrome",
    .qualname = "BrowserAttachService._close_new_chrome",
    .doc = "通过 CDP 关闭本次新开的 Chrome。",
    .returns = "None",
    .params = {self_param, {.name = "browser", .annotation = "Any"}},
    .body = fn<&close_new_chrome>,
};

// ---- BrowserAttachService._start_new_chrome -------------------------------------------------

void start_new_chrome(Object self) {
    Object arguments = self.attr(str::DEFAULT_NEW_CHROME_ARGUMENTS);
    if (!PyUnicode_CheckExact(arguments.get()))
        arguments = Object::steal(PyObject_Format(arguments.get(), str::empty));
    Object command = concat(concat(launch_prefix, arguments), launch_suffix);
    Object argv =
        Object::steal(Py_BuildValue("[OOOO]", str::powershell.get(), str::no_profile.get(),
                                    str::command_switch.get(), command.get()));
    try {
        browser.global(str::subprocess)
            .call_method(str::run, argv, kw(str::check, Py_True), kw(str::capture_output, Py_True),
                         kw(str::text, Py_True));
    } catch (const Error& caught) {
        bool launch_error = caught_matches(caught, [] {
            return tuple(Object::borrow(PyExc_OSError),
                         browser.global(str::subprocess).attr(str::CalledProcessError));
        });
        if (!launch_error) throw;
        raise_domain_error_from(str::ChromeCdpUnavailableError, Object::borrow(launch_failed),
                                caught);
    }
}

const FunctionDef start_new_chrome_def{
    .name = "_start_new_chrome",
    .qualname = "BrowserAttachService._start_new_chrome",
    .doc = "新开一个固定 profile 的 Chrome 调试窗口。",
    .returns = "None",
    .params = {self_param},
    .body = fn<&start_new_chrome>,
};

// ---- BrowserAttachService._wait_for_cdp -----------------------------------------------------

Object monotonic() { return browser.global(str::time).call_method(str::monotonic); }

void wait_for_cdp(Object /*self*/, Object cdp_url, Object timeout_seconds) {
    Object httpx = import("httpx");
    Object deadline = Object::steal(PyNumber_Add(monotonic().get(), timeout_seconds.get()));
    Object last_error;
    Object version_url = concat(cdp_url.call_method(str::rstrip, str::slash), str::json_version);

    while (less(monotonic(), deadline.get())) {
        try {
            Object response = httpx.call_method(str::get, version_url, kw(str::timeout, int_1));
            if (less(response.attr(str::status_code), int_500)) return;
        } catch (const Error& caught) {
            if (!caught_matches(caught, [&] { return httpx.attr(str::HTTPError); })) throw;
            last_error = Object::borrow(caught.exception());
        }
        browser.global(str::time).call_method(str::sleep, poll_interval);
    }
    Object message =
        Object::steal(PyUnicode_FromFormat("%s%U", cdp_not_ready_prefix, cdp_url.get()));
    raise_from(browser.global(str::ChromeCdpUnavailableError)(message), last_error.get());
}

const FunctionDef wait_for_cdp_def{
    .name = "_wait_for_cdp",
    .qualname = "BrowserAttachService._wait_for_cdp",
    .doc = "等待 Chrome DevTools HTTP 端点可用。",
    .returns = "None",
    .params = {self_param,
               {.name = "cdp_url", .annotation = "str", .check = Check::str},
               keyword("timeout_seconds", "int", Check::integer)},
    .body = fn<&wait_for_cdp>,
};

// ---- BrowserAttachService._extract_tab_id ---------------------------------------------------

Object extract_tab_id(Object /*self*/, Object request_url, Object request_body) {
    // The URL first: whatever follows the first "tabId=", up to the next "&", as it stands.
    Py_ssize_t length = PyUnicode_GET_LENGTH(request_url.get());
    Py_ssize_t marker = PyUnicode_Find(request_url.get(), str::tab_id_marker, 0, length, 1);
    if (marker == -2) fail();
    if (marker >= 0) {
        Py_ssize_t start = marker + PyUnicode_GET_LENGTH(str::tab_id_marker.get());
        Py_ssize_t end = PyUnicode_Find(request_url.get(), str::ampersand, start, length, 1);
        if (end == -2) fail();
        return Object::steal(PyUnicode_Substring(request_url.get(), start, end < 0 ? length : end));
    }

    // Then the body's top-level "tabId" or "tab_id".
    Object data;
    try {
        data = browser.global(str::json).call_method(str::loads, request_body);
    } catch (const Error& caught) {
        if (!caught_matches(caught,
                            [] { return browser.global(str::json).attr(str::JSONDecodeError); }))
            throw;
        return Object::borrow(str::empty);
    }
    Object value = data.call_method(str::get, str::tab_id_key);
    if (!value.truthy()) value = data.call_method(str::get, str::tab_id);
    if (!value.truthy()) return Object::borrow(str::empty);
    if (PyUnicode_Check(value.get())) return value;
    return value.str();
}

const FunctionDef extract_tab_id_def{
    .name = "_extract_tab_id",
    .qualname = "BrowserAttachService._extract_tab_id",
    .doc = "从 URL 或 body 中提取 tabId。",
    .returns = "str",
    .params = {self_param,
               {.name = "request_url", .annotation = "str", .check = Check::str},
               {.name = "request_body", .annotation = "str", .check = Check::str}},
    .body = fn<&extract_tab_id>,
};

// ---- module body ----------------------------------------------------------------------------

void build_constants() {
    launch_prefix = text(launch_command_prefix);
    launch_suffix = text(launch_command_suffix);
    launch_failed = text(launch_failed_message);
    playwright_missing_message = text(playwright_missing);
    int_0 = integer(0);
    int_1 = integer(1);
    int_5 = integer(5);
    int_500 = integer(500);
    int_1000 = integer(1000);
    poll_interval = Object::steal(PyFloat_FromDouble(0.25));
    on_request_proto = browser.compile(on_request_def);
}

void browser_body(Object module) {
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
                    {"__init__", browser.function(init_def)},
                    {"open_marketplace_for_login", browser.function(open_marketplace_def)},
                    {"capture_seed_request", browser.function(capture_seed_request_def)},
                    {"_close_new_chrome", browser.function(close_new_chrome_def)},
                    {"_start_new_chrome", browser.function(start_new_chrome_def)},
                    {"_wait_for_cdp", browser.function(wait_for_cdp_def)},
                    {"_extract_tab_id", browser.function(extract_tab_id_def)}}));
}

}  // namespace

PyMODINIT_FUNC PyInit_browser() { return init_module<browser>(); }
