#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace speaker
{
// One window's end of the bridge. Called on the message thread.
class BridgeEndpoint
{
public:
    virtual ~BridgeEndpoint() = default;
    // One whole text message from one of the window's pages.
    virtual void bridgeMessageReceived(const std::string& text) = 0;
};

struct BridgeResource
{
    std::string data;
    std::string mimeType;
};

// Answers a request path below the window's address ("/", "/assets/app.js?ui=1",
// ...). Called on the server thread, so it must only read immutable data.
using BridgeResourceProvider = std::function<std::optional<BridgeResource>(const std::string& path)>;

// The process's one loopback HTTP and WebSocket server between the native side
// and the pages. Every window has its own address below an unguessable secret;
// anything else is not found, and a WebSocket is accepted only on a window's
// bridge address and from the server's own origin.
class BridgeServer
{
public:
    // The largest legal message is a PNG export of 128 MiB of Base64 text plus
    // its call envelope.
    static constexpr std::size_t kMaxMessageBytes = 134217728 + 65536;

    // Created and started on first use; stopped and destroyed by shutdown().
    static BridgeServer& instance();
    static void shutdown();

    ~BridgeServer();
    BridgeServer(const BridgeServer&) = delete;
    BridgeServer& operator=(const BridgeServer&) = delete;

    bool isListening() const noexcept;
    // Why the server could not listen; empty while it listens.
    std::string startError() const;
    int port() const noexcept;
    // "http://127.0.0.1:" + port.
    std::string origin() const;
    std::string secret() const;

    // Registers a window (message thread). The id names it in its address.
    std::string addWindow(BridgeEndpoint& endpoint, BridgeResourceProvider provider);
    void removeWindow(const std::string& windowId);
    // The window's page address, ending in "/"; the caller appends the query.
    std::string windowUrl(const std::string& windowId) const;
    // The path of the window's WebSocket.
    std::string bridgePath(const std::string& windowId) const;

    // Sends one text message to every page connected for the window. Any thread.
    void send(const std::string& windowId, std::string text);
    // Pages connected for the window right now.
    int connectionCount(const std::string& windowId) const;

    // The script that provides window.__JUCE__.backend over the window's socket.
    static const char* backendScript();
    // The HTML with the backend script placed first in its head.
    static std::string withBackendScript(const std::string& html);

    struct Impl;

private:
    BridgeServer();
    std::shared_ptr<Impl> impl;
};
} // namespace speaker
