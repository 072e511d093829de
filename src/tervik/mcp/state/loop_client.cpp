#include "state/loop_client.hpp"

using namespace py;

namespace loop_client {

namespace {
namespace str {
Name aclose{"aclose"}, is_running{"is_running"};
Name _get_running_loop{"_get_running_loop"}, run_coroutine_threadsafe{"run_coroutine_threadsafe"};
}  // namespace str

Object asyncio() { return import("asyncio"); }

// client.aclose() run on `loop`, from outside it.
void close_there(const Object& client, const Object& loop) {
    asyncio().call_method(str::run_coroutine_threadsafe, client.call_method(str::aclose), loop);
}
}  // namespace

Object LoopClient::for_loop(const Object& loop, std::uint64_t closes) {
    if (closes != closes_) raise(PyExc_RuntimeError, closed_error_);
    if (!client_.null() && loop_.is(loop)) return client_;
    retire();
    client_ = make_(context_);
    loop_ = loop;
    ++built_;
    return client_;
}

Object LoopClient::retire() {
    Object client = std::move(client_), loop = std::move(loop_);
    client_ = Object();
    loop_ = Object();
    if (client.null()) return {};
    Object running = asyncio().call_method(str::_get_running_loop);
    if (loop.null() || loop.is(running)) return client;
    if (loop.call_method(str::is_running).truthy()) close_there(client, loop);
    return {};
}

Object LoopClient::close() {
    ++closes_;
    Object client = retire();
    return client.null() ? Object() : client.call_method(str::aclose);
}

void LoopClient::close_when_collected() {
    if (client_.null() || loop_.null()) return;
    Object client = std::move(client_), loop = std::move(loop_);
    if (loop.call_method(str::is_running).truthy()) close_there(client, loop);
}

int LoopClient::traverse(visitproc visit, void* arg) {
    Py_VISIT(client_.get());
    Py_VISIT(loop_.get());
    return 0;
}

void LoopClient::clear() {
    Object client = std::move(client_), loop = std::move(loop_);
    client_ = Object();
    loop_ = Object();
}

}  // namespace loop_client
