#pragma once

#include "engine/AudioEngine.h"
#include "engine/TestAudioDevice.h"
#include "ui/BridgePlatform.h"
#include "ui/BridgeProtocol.h"
#include "ui/BridgeServer.h"
#include "ui/WebUIBridge.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <atomic>
#include <deque>
#include <future>
#include <mutex>
#include <thread>
#include <functional>
#include <memory>
#include <string>

namespace juce
{
bool dispatchNextMessageOnSystemQueue(bool returnIfNoPendingMessages);
}

namespace speaker::test
{
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

// Runs the message loop until `done` or the time is up; returns done().
inline bool pumpUntil(const std::function<bool()>& done, int timeoutMs = 5000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (! done())
    {
        if (std::chrono::steady_clock::now() > end)
            return false;
        if (! juce::dispatchNextMessageOnSystemQueue(true))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline void pumpFor(int ms)
{
    pumpUntil([] { return false; }, ms);
}

struct HttpAnswer
{
    int status = 0;
    std::string contentType;
    std::string body;
};

inline HttpAnswer httpGet(const std::string& target)
{
    net::io_context ioc;
    beast::tcp_stream stream(ioc);
    stream.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(BridgeServer::instance().port())));
    http::request<http::empty_body> request(http::verb::get, target, 11);
    request.set(http::field::host, "127.0.0.1");
    http::write(stream, request);
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    http::read(stream, buffer, response);
    return { static_cast<int>(response.result_int()), std::string(response[http::field::content_type]), response.body() };
}

// A page's end of a window's socket. Its own thread reads; the test thread
// waits while pumping the message loop.
class PageSocket
{
public:
    // Throws boost::system::system_error when the handshake is refused.
    explicit PageSocket(const std::string& path, const std::string& origin = BridgeServer::instance().origin())
        : ws(ioc)
    {
        auto& socket = beast::get_lowest_layer(ws);
        socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"),
                                     static_cast<unsigned short>(BridgeServer::instance().port())));
        ws.set_option(websocket::stream_base::decorator([origin](websocket::request_type& r) {
            if (! origin.empty())
                r.set(http::field::origin, origin);
        }));
        ws.read_message_max(BridgeServer::kMaxMessageBytes * 2);
        ws.handshake("127.0.0.1", path);
        read();
        thread = std::thread([this] { ioc.run(); });
    }

    ~PageSocket()
    {
        net::post(ioc, [this] {
            beast::error_code ignored;
            beast::get_lowest_layer(ws).socket().close(ignored);
        });
        if (thread.joinable())
            thread.join();
    }

    void sendText(std::string text)
    {
        auto message = std::make_shared<std::string>(std::move(text));
        std::promise<void> sent;
        auto future = sent.get_future();
        net::post(ioc, [this, message, &sent] {
            ws.text(true);
            ws.async_write(net::buffer(*message), [message, &sent](beast::error_code, std::size_t) { sent.set_value(); });
        });
        future.wait_for(std::chrono::seconds(30));
    }

    void call(const juce::String& name, const juce::Array<juce::var>& params, juce::int64 id)
    {
        auto payload = std::make_unique<juce::DynamicObject>();
        payload->setProperty("name", name);
        payload->setProperty("params", params);
        payload->setProperty("resultId", id);
        sendText(encodeBridgeMessage("__juce__invoke", juce::var(payload.release())));
    }

    // Pumps the message loop while waiting for the next message of `event`.
    bool waitFor(const juce::String& event, juce::var& payload, int timeoutMs = 5000)
    {
        return pumpUntil([&] { return take(event, payload); }, timeoutMs);
    }

    // The result of call `id`.
    bool resultOf(juce::int64 id, juce::var& result, int timeoutMs = 5000)
    {
        return pumpUntil(
            [&] {
                const std::lock_guard guard(lock);
                for (auto it = messages.begin(); it != messages.end(); ++it)
                    if (it->first == "__juce__complete" && static_cast<juce::int64>(it->second["promiseId"]) == id)
                    {
                        result = it->second["result"];
                        messages.erase(it);
                        return true;
                    }
                return false;
            },
            timeoutMs);
    }

    int count(const juce::String& event)
    {
        const std::lock_guard guard(lock);
        int n = 0;
        for (auto& m : messages)
            n += m.first == event ? 1 : 0;
        return n;
    }

    void clear()
    {
        const std::lock_guard guard(lock);
        messages.clear();
    }

    bool waitClosed(int timeoutMs = 5000)
    {
        return pumpUntil([&] { return closed.load(); }, timeoutMs);
    }

private:
    void read()
    {
        ws.async_read(buffer, [this](beast::error_code ec, std::size_t) {
            if (ec)
            {
                closed = true;
                return;
            }
            juce::String event;
            juce::var payload;
            if (decodeBridgeMessage(beast::buffers_to_string(buffer.data()), event, payload))
            {
                const std::lock_guard guard(lock);
                messages.emplace_back(event, payload);
            }
            buffer.consume(buffer.size());
            read();
        });
    }

    bool take(const juce::String& event, juce::var& payload)
    {
        const std::lock_guard guard(lock);
        for (auto it = messages.begin(); it != messages.end(); ++it)
            if (it->first == event)
            {
                payload = it->second;
                messages.erase(it);
                return true;
            }
        return false;
    }

    net::io_context ioc;
    websocket::stream<beast::tcp_stream> ws;
    beast::flat_buffer buffer;
    std::mutex lock;
    std::deque<std::pair<juce::String, juce::var>> messages;
    std::atomic<bool> closed { false };
    std::thread thread;
};

// An engine on the test device with the default stereo project.
class BridgeTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { juce::MessageManager::getInstance()->setCurrentThreadAsMessageThread(); }

    void SetUp() override
    {
        resetBridgePlatform();
        WebUIBridge::clearAnalyzerCache();
        engine = std::make_unique<AudioEngine>();
        TestDeviceConfig config;
        config.name = "Bridge Test Device";
        engine->getDeviceManager().addAudioDeviceType(
            std::make_unique<TestAudioDeviceType>(std::vector<TestDeviceConfig> { config }));
        juce::DynamicObject::Ptr setup = new juce::DynamicObject();
        setup->setProperty("type", TestAudioDeviceType::kDefaultTypeName);
        setup->setProperty("inputDeviceName", config.name);
        setup->setProperty("outputDeviceName", config.name);
        setup->setProperty("sampleRate", 48000);
        setup->setProperty("bufferSize", 256);
        std::string error;
        ASSERT_TRUE(engine->setAudioSetup(juce::var(setup.get()), error)) << error;
    }

    void TearDown() override
    {
        bridges.clear();
        pumpFor(20);
        if (engine)
        {
            std::string error;
            engine->setRunning(false, error);
        }
        engine.reset();
        resetBridgePlatform();
    }

    WebUIBridge& makeBridge(const juce::String& moduleId = {}, WindowCallbacks callbacks = {},
                            std::function<bool()> visible = [] { return true; })
    {
        bridges.push_back(std::make_unique<WebUIBridge>(*engine, moduleId, std::move(callbacks), std::move(visible),
                                                        [] { return true; }));
        return *bridges.back();
    }

    // Calls a function directly; fails the test if it does not answer in time.
    juce::var call(WebUIBridge& bridge, const juce::String& name, std::initializer_list<juce::var> list = {},
                   int* answers = nullptr)
    {
        juce::Array<juce::var> args;
        for (const auto& v : list)
            args.add(v);
        auto result = std::make_shared<juce::var>();
        auto count = std::make_shared<int>(0);
        bridge.invoke(name, args, [result, count](const juce::var& v) {
            *result = v;
            ++*count;
        });
        EXPECT_TRUE(pumpUntil([&] { return *count > 0; })) << name;
        pumpFor(5);
        if (answers != nullptr)
            *answers = *count;
        EXPECT_EQ(*count, 1) << name << " answered more than once";
        return *result;
    }

    std::unique_ptr<AudioEngine> engine;
    std::vector<std::unique_ptr<WebUIBridge>> bridges;
};
} // namespace speaker::test
