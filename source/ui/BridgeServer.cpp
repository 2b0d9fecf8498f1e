#include "ui/BridgeServer.h"

#include <juce_events/juce_events.h>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace speaker
{
namespace
{
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

constexpr std::size_t kSecretBytes = 32;
constexpr std::size_t kMaxQueuedMessages = 8192;
constexpr const char* kBridgeSegment = "__bridge";

std::string randomSecret()
{
    unsigned char bytes[kSecretBytes];
    std::size_t filled = 0;
    while (filled < kSecretBytes)
    {
        const auto got = ::getrandom(bytes + filled, kSecretBytes - filled, 0);
        if (got > 0)
            filled += static_cast<std::size_t>(got);
        else if (errno != EINTR)
            std::abort(); // never serve the engine behind a guessable address
    }
    static const char* digits = "0123456789abcdef";
    std::string text;
    for (auto b : bytes)
    {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

bool sameSecret(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

// Windows registered on the message thread, read by the server thread.
struct Registry
{
    struct Window
    {
        BridgeEndpoint* endpoint = nullptr;
        BridgeResourceProvider provider;
    };

    mutable std::mutex lock;
    std::map<std::string, Window> windows;

    BridgeEndpoint* endpointFor(const std::string& id) const
    {
        const std::lock_guard guard(lock);
        const auto it = windows.find(id);
        return it == windows.end() ? nullptr : it->second.endpoint;
    }

    BridgeResourceProvider providerFor(const std::string& id) const
    {
        const std::lock_guard guard(lock);
        const auto it = windows.find(id);
        return it == windows.end() ? BridgeResourceProvider {} : it->second.provider;
    }
};

class WsSession;
} // namespace

struct BridgeServer::Impl
{
    net::io_context ioc { 1 };
    tcp::acceptor acceptor { ioc };
    std::thread thread;
    std::string secret = randomSecret();
    int port = 0;
    std::string error;
    std::shared_ptr<Registry> registry = std::make_shared<Registry>();
    std::atomic<int> nextWindow { 1 };

    // Server thread only.
    std::map<std::string, std::vector<std::weak_ptr<WsSession>>> sockets;
    struct Counts
    {
        std::mutex lock;
        std::map<std::string, int> perWindow;
    };
    std::shared_ptr<Counts> counts = std::make_shared<Counts>();

    std::string origin() const { return "http://127.0.0.1:" + std::to_string(port); }

    // Splits "/<secret>/<window>/<rest>" into the window id and "/<rest>".
    bool splitTarget(std::string_view target, std::string& windowId, std::string& rest) const
    {
        const auto query = target.find('?');
        const auto path = target.substr(0, query);
        const auto tail = query == std::string_view::npos ? std::string_view {} : target.substr(query);
        if (path.size() < secret.size() + 2 || path[0] != '/')
            return false;
        if (! sameSecret(path.substr(1, secret.size()), secret) || path[secret.size() + 1] != '/')
            return false;
        const auto afterSecret = path.substr(secret.size() + 2);
        const auto slash = afterSecret.find('/');
        if (slash == std::string_view::npos || slash == 0)
            return false;
        windowId = std::string(afterSecret.substr(0, slash));
        rest = std::string(afterSecret.substr(slash)) + std::string(tail);
        return true;
    }

    void deliver(const std::string& windowId, std::string text)
    {
        auto message = std::make_shared<std::string>(std::move(text));
        juce::MessageManager::callAsync([reg = registry, windowId, message] {
            if (auto* endpoint = reg->endpointFor(windowId))
                endpoint->bridgeMessageReceived(*message);
        });
    }

    static void changeCount(Counts& c, const std::string& windowId, int delta)
    {
        const std::lock_guard guard(c.lock);
        c.perWindow[windowId] += delta;
    }

    void accept();
};

namespace
{
class WsSession final : public std::enable_shared_from_this<WsSession>
{
public:
    WsSession(BridgeServer::Impl& s, tcp::socket socket, std::string id)
        : server(s), counts(s.counts), ws(std::move(socket)), windowId(std::move(id))
    {
    }

    ~WsSession()
    {
        if (counted)
            BridgeServer::Impl::changeCount(*counts, windowId, -1);
    }

    void closeNow()
    {
        closed = true;
        beast::error_code ignored;
        beast::get_lowest_layer(ws).socket().close(ignored);
    }

    void start(http::request<http::string_body> request)
    {
        ws.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
        ws.read_message_max(BridgeServer::kMaxMessageBytes);
        ws.auto_fragment(false);
        ws.async_accept(request, [self = shared_from_this()](beast::error_code ec) { self->accepted(ec); });
    }

    void send(std::shared_ptr<const std::string> text)
    {
        if (closed)
            return;
        if (queue.size() >= kMaxQueuedMessages)
        {
            // A page that reads nothing must not make the process grow without bound.
            closeNow();
            return;
        }
        queue.push_back(std::move(text));
        if (queue.size() == 1)
            write();
    }

private:
    void accepted(beast::error_code ec)
    {
        if (ec)
            return;
        server.sockets[windowId].push_back(weak_from_this());
        BridgeServer::Impl::changeCount(*counts, windowId, 1);
        counted = true;
        read();
    }

    void read()
    {
        ws.async_read(buffer, [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onRead(ec); });
    }

    void onRead(beast::error_code ec)
    {
        if (ec)
        {
            // Oversized, malformed or closed: this page's socket ends, nothing else.
            closed = true;
            return;
        }
        if (ws.got_text())
            server.deliver(windowId, beast::buffers_to_string(buffer.data()));
        buffer.consume(buffer.size());
        if (buffer.capacity() > 1 << 20)
            buffer.shrink_to_fit();
        read();
    }

    void write()
    {
        ws.text(true);
        ws.async_write(net::buffer(*queue.front()), [self = shared_from_this()](beast::error_code ec, std::size_t) {
            self->onWrite(ec);
        });
    }

    void onWrite(beast::error_code ec)
    {
        if (ec)
        {
            closed = true;
            queue.clear();
            return;
        }
        queue.pop_front();
        if (! queue.empty())
            write();
    }

    BridgeServer::Impl& server;
    std::shared_ptr<BridgeServer::Impl::Counts> counts;
    websocket::stream<beast::tcp_stream> ws;
    std::string windowId;
    beast::flat_buffer buffer;
    std::deque<std::shared_ptr<const std::string>> queue;
    bool closed = false;
    bool counted = false;
};

class HttpSession final : public std::enable_shared_from_this<HttpSession>
{
public:
    HttpSession(BridgeServer::Impl& s, tcp::socket socket) : server(s), stream(std::move(socket)) {}

    void start()
    {
        net::dispatch(stream.get_executor(), [self = shared_from_this()] { self->read(); });
    }

private:
    void read()
    {
        parser.emplace();
        parser->header_limit(16 * 1024);
        parser->body_limit(16 * 1024);
        stream.expires_after(std::chrono::seconds(30));
        http::async_read(stream, buffer, *parser,
                         [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onRead(ec); });
    }

    void onRead(beast::error_code ec)
    {
        if (ec)
        {
            beast::error_code ignored;
            stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
            return;
        }
        auto request = parser->release();
        std::string windowId, rest;
        const auto target = request.target();
        const bool addressed = server.splitTarget(std::string_view(target.data(), target.size()), windowId, rest);

        if (websocket::is_upgrade(request))
        {
            const bool bridgePath = addressed && rest == std::string("/") + kBridgeSegment;
            const bool sameOrigin = request[http::field::origin] == server.origin();
            if (bridgePath && sameOrigin && server.registry->endpointFor(windowId) != nullptr)
            {
                stream.expires_never();
                std::make_shared<WsSession>(server, stream.release_socket(), windowId)->start(std::move(request));
                return;
            }
            respond(request, bridgePath ? http::status::forbidden : http::status::not_found, {});
            return;
        }

        std::optional<BridgeResource> resource;
        if (addressed && (request.method() == http::verb::get || request.method() == http::verb::head))
            if (auto provider = server.registry->providerFor(windowId))
                resource = provider(rest);
        respond(request, resource ? http::status::ok : http::status::not_found, resource);
    }

    void respond(const http::request<http::string_body>& request, http::status status,
                 const std::optional<BridgeResource>& resource)
    {
        auto response = std::make_shared<http::response<http::string_body>>(status, request.version());
        response->set(http::field::server, "Corvana");
        response->set(http::field::cache_control, "no-store");
        response->set("X-Content-Type-Options", "nosniff");
        if (resource)
        {
            response->set(http::field::content_type, resource->mimeType);
            response->body() = resource->mimeType.rfind("text/html", 0) == 0 ? BridgeServer::withBackendScript(resource->data)
                                                                             : resource->data;
        }
        else
        {
            response->set(http::field::content_type, "text/plain");
            response->body() = "Not found\n";
        }
        response->keep_alive(request.keep_alive() && status == http::status::ok);
        response->prepare_payload();
        if (request.method() == http::verb::head)
            response->body().clear();
        http::async_write(stream, *response, [self = shared_from_this(), response](beast::error_code ec, std::size_t) {
            if (! ec && response->keep_alive())
                self->read();
            else
            {
                beast::error_code ignored;
                self->stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
            }
        });
    }

    BridgeServer::Impl& server;
    beast::tcp_stream stream;
    beast::flat_buffer buffer;
    std::optional<http::request_parser<http::string_body>> parser;
};
} // namespace

void BridgeServer::Impl::accept()
{
    acceptor.async_wait(tcp::acceptor::wait_read, [this](beast::error_code ec) {
        if (ec == net::error::operation_aborted)
            return;
        if (! ec)
        {
            // accept4 so that the page's socket is close-on-exec from its first
            // instant: the web view's helper processes must not inherit it.
            const int fd = ::accept4(acceptor.native_handle(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0)
            {
                tcp::socket socket(ioc);
                beast::error_code assignError;
                socket.assign(tcp::v4(), fd, assignError);
                if (assignError)
                    ::close(fd);
                else
                    std::make_shared<HttpSession>(*this, std::move(socket))->start();
            }
        }
        accept();
    });
}

namespace
{
std::mutex instanceLock;
std::unique_ptr<BridgeServer> instancePointer;
} // namespace

BridgeServer& BridgeServer::instance()
{
    const std::lock_guard guard(instanceLock);
    if (! instancePointer)
        instancePointer.reset(new BridgeServer());
    return *instancePointer;
}

void BridgeServer::shutdown()
{
    std::unique_ptr<BridgeServer> doomed;
    {
        const std::lock_guard guard(instanceLock);
        doomed = std::move(instancePointer);
    }
}

BridgeServer::BridgeServer() : impl(std::make_shared<Impl>())
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
    {
        impl->error = "The bridge socket could not be created.";
        return;
    }
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = 0;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || ::listen(fd, 64) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    {
        ::close(fd);
        impl->error = "The bridge could not listen on the loopback address.";
        return;
    }
    impl->port = ntohs(address.sin_port);
    beast::error_code ec;
    impl->acceptor.assign(tcp::v4(), fd, ec);
    if (ec)
    {
        ::close(fd);
        impl->error = "The bridge could not listen on the loopback address.";
        impl->port = 0;
        return;
    }
    impl->accept();
    impl->thread = std::thread([state = impl] {
        juce::Thread::setCurrentThreadName("Corvana bridge");
        state->ioc.run();
    });
}

BridgeServer::~BridgeServer()
{
    impl->ioc.stop();
    if (impl->thread.joinable())
        impl->thread.join();
}

bool BridgeServer::isListening() const noexcept { return impl->port != 0; }
std::string BridgeServer::startError() const { return impl->error; }
int BridgeServer::port() const noexcept { return impl->port; }
std::string BridgeServer::origin() const { return impl->origin(); }
std::string BridgeServer::secret() const { return impl->secret; }

std::string BridgeServer::addWindow(BridgeEndpoint& endpoint, BridgeResourceProvider provider)
{
    const auto id = "w" + std::to_string(impl->nextWindow.fetch_add(1));
    const std::lock_guard guard(impl->registry->lock);
    impl->registry->windows[id] = { &endpoint, std::move(provider) };
    return id;
}

void BridgeServer::removeWindow(const std::string& windowId)
{
    {
        const std::lock_guard guard(impl->registry->lock);
        impl->registry->windows.erase(windowId);
    }
    net::post(impl->ioc, [state = impl, windowId] {
        const auto it = state->sockets.find(windowId);
        if (it == state->sockets.end())
            return;
        for (auto& weak : it->second)
            if (auto session = weak.lock())
                session->closeNow();
        state->sockets.erase(it);
    });
}

std::string BridgeServer::windowUrl(const std::string& windowId) const
{
    return impl->origin() + "/" + impl->secret + "/" + windowId + "/";
}

std::string BridgeServer::bridgePath(const std::string& windowId) const
{
    return "/" + impl->secret + "/" + windowId + "/" + kBridgeSegment;
}

void BridgeServer::send(const std::string& windowId, std::string text)
{
    auto message = std::make_shared<const std::string>(std::move(text));
    net::post(impl->ioc, [state = impl, windowId, message] {
        const auto it = state->sockets.find(windowId);
        if (it == state->sockets.end())
            return;
        auto& sessions = it->second;
        for (auto s = sessions.begin(); s != sessions.end();)
        {
            if (auto session = s->lock())
            {
                session->send(message);
                ++s;
            }
            else
                s = sessions.erase(s);
        }
    });
}

int BridgeServer::connectionCount(const std::string& windowId) const
{
    const std::lock_guard guard(impl->counts->lock);
    const auto it = impl->counts->perWindow.find(windowId);
    return it == impl->counts->perWindow.end() ? 0 : it->second;
}

const char* BridgeServer::backendScript()
{
    // Messages are {"event": name, "payload": value} both ways. What the page
    // sends before the socket opens waits in a queue.
    return R"JS(<script>
(function () {
  "use strict";
  var parts = location.pathname.split("/");
  var url = (location.protocol === "https:" ? "wss://" : "ws://") + location.host + "/" + parts[1] + "/" + parts[2] + "/__bridge";
  var listeners = new Map();
  var nextToken = 1;
  var queue = [];
  var socket = null;
  var open = false;
  var retryMs = 250;
  function connect() {
    socket = new WebSocket(url);
    socket.onopen = function () {
      open = true;
      retryMs = 250;
      var waiting = queue;
      queue = [];
      for (var i = 0; i < waiting.length; ++i) socket.send(waiting[i]);
    };
    socket.onmessage = function (e) {
      var message;
      try { message = JSON.parse(e.data); } catch (err) { return; }
      if (!message || typeof message.event !== "string") return;
      var set = listeners.get(message.event);
      if (!set) return;
      Array.from(set.values()).forEach(function (fn) {
        try { fn(message.payload); } catch (err) { console.error(err); }
      });
    };
    socket.onclose = function () {
      open = false;
      socket = null;
      setTimeout(connect, retryMs);
      retryMs = Math.min(retryMs * 2, 5000);
    };
  }
  var backend = {
    emitEvent: function (eventId, payload) {
      var text = JSON.stringify({ event: String(eventId), payload: payload === undefined ? null : payload });
      if (open) socket.send(text); else queue.push(text);
    },
    addEventListener: function (eventId, fn) {
      if (!listeners.has(eventId)) listeners.set(eventId, new Map());
      var token = nextToken++;
      listeners.get(eventId).set(token, fn);
      return [eventId, token];
    },
    removeEventListener: function (token) {
      if (!Array.isArray(token)) return;
      var set = listeners.get(token[0]);
      if (set) set.delete(token[1]);
    }
  };
  window.__JUCE__ = { backend: backend, initialisationData: {} };
  connect();
})();
</script>)JS";
}

std::string BridgeServer::withBackendScript(const std::string& html)
{
    const auto head = html.find("<head>");
    if (head == std::string::npos)
        return backendScript() + html;
    auto text = html;
    text.insert(head + 6, backendScript());
    return text;
}
} // namespace speaker
