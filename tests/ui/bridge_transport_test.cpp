// The loopback server: who may reach it, what it serves, and how it survives
// hostile pages.

#include "UiTestSupport.h"

#include <random>

namespace speaker::test
{
namespace
{
class TransportTest : public BridgeTest
{
protected:
    std::string pagePath(WebUIBridge& b)
    {
        const auto url = BridgeServer::instance().windowUrl(b.getWindowId());
        return url.substr(BridgeServer::instance().origin().size());
    }
};

TEST_F(TransportTest, ListensOnLoopbackBehindALongRandomSecret)
{
    auto& server = BridgeServer::instance();
    ASSERT_TRUE(server.isListening()) << server.startError();
    EXPECT_EQ(server.origin(), "http://127.0.0.1:" + std::to_string(server.port()));
    EXPECT_EQ(server.secret().size(), 64u);
    EXPECT_TRUE(juce::String(server.secret()).containsOnly("0123456789abcdef"));

    // The listening socket is bound to 127.0.0.1, not to every interface.
    net::io_context ioc;
    tcp::socket probe(ioc);
    probe.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(server.port())));
    EXPECT_EQ(probe.remote_endpoint().address().to_string(), "127.0.0.1");
    beast::error_code ec;
    tcp::socket other(ioc);
    other.connect(tcp::endpoint(net::ip::make_address("127.0.0.2"), static_cast<unsigned short>(server.port())), ec);
    EXPECT_TRUE(ec) << "reachable on 127.0.0.2";
}

TEST_F(TransportTest, StartUrlCarriesSecretWindowAndQuery)
{
    auto& main = makeBridge();
    auto& module = makeBridge("node3");
    const auto version = WebUIBridge::uiResourceVersion();
    EXPECT_EQ(main.startUrl(), juce::String(BridgeServer::instance().windowUrl(main.getWindowId())) + "?ui=" + version);
    EXPECT_EQ(module.startUrl(),
              juce::String(BridgeServer::instance().windowUrl(module.getWindowId())) + "?ui=" + version + "&module=node3");
    EXPECT_TRUE(main.startUrl().contains(BridgeServer::instance().secret()));
    EXPECT_NE(main.getWindowId(), module.getWindowId());
}

TEST_F(TransportTest, ServesThePageOnlyBelowTheSecret)
{
    auto& b = makeBridge();
    const auto base = pagePath(b);
    const auto version = WebUIBridge::uiResourceVersion().toStdString();

    const auto html = httpGet(base);
    EXPECT_EQ(html.status, 200);
    EXPECT_EQ(html.contentType, "text/html");
    EXPECT_NE(html.body.find("window.__JUCE__"), std::string::npos);
    EXPECT_NE(html.body.find("<title>Corvana</title>"), std::string::npos);
    EXPECT_NE(html.body.find("id=\"root\""), std::string::npos);
    for (const auto ref : { "./assets/app.js?ui=", "./assets/app.css?ui=", "./app-icon.png?ui=" })
        EXPECT_NE(html.body.find(ref + version), std::string::npos) << ref;
    EXPECT_LT(html.body.find("window.__JUCE__"), html.body.find("./assets/app.js"));

    struct Case
    {
        std::string target;
        int status;
        std::string type;
    };
    const std::string secret = BridgeServer::instance().secret();
    std::string wrongSecret = secret;
    wrongSecret[0] = wrongSecret[0] == 'a' ? 'b' : 'a';
    const Case cases[] = {
        { base + "index.html", 200, "text/html" },
        { base + "assets/app.js?ui=whatever&x=1", 200, "text/javascript" },
        { base + "assets/app.css", 200, "text/css" },
        { base + "app-icon.png", 200, "image/png" },
        { base + "other.js", 404, "" },
        { base + "__bridge", 404, "" },
        { "/", 404, "" },
        { "/index.html", 404, "" },
        { "/assets/app.js", 404, "" },
        { "/" + secret + "/", 404, "" },
        { "/" + secret + "/w999999/", 404, "" },
        { "/" + wrongSecret + "/" + b.getWindowId() + "/", 404, "" },
        { "/" + secret.substr(0, 32) + "/" + b.getWindowId() + "/", 404, "" },
        { "/x/" + secret + "/" + b.getWindowId() + "/", 404, "" },
    };
    for (const auto& c : cases)
    {
        const auto answer = httpGet(c.target);
        EXPECT_EQ(answer.status, c.status) << c.target;
        if (c.status == 200)
            EXPECT_EQ(answer.contentType, c.type) << c.target;
        else
            EXPECT_EQ(answer.body.find("__JUCE__"), std::string::npos) << c.target;
    }
}

TEST_F(TransportTest, ResourceProviderTable)
{
    EXPECT_FALSE(WebUIBridge::resourceForPath("/nothing").has_value());
    EXPECT_EQ(WebUIBridge::resourceForPath("/x/y/assets/app.js?ui=1")->mimeType, "text/javascript");
    const auto html = WebUIBridge::resourceForPath("/?a=b");
    ASSERT_TRUE(html.has_value());
    EXPECT_EQ(html->mimeType, "text/html");
    // The provider itself does not carry the backend; the transport adds it.
    EXPECT_EQ(html->data.find("__JUCE__"), std::string::npos);
    const auto version = WebUIBridge::uiResourceVersion();
    EXPECT_FALSE(version.isEmpty());
    EXPECT_TRUE(version.containsOnly("0123456789abcdef"));
    EXPECT_NE(version[0], '0');
}

TEST_F(TransportTest, WebSocketNeedsTheBridgePathAndTheServersOrigin)
{
    auto& b = makeBridge();
    const auto path = BridgeServer::instance().bridgePath(b.getWindowId());
    const auto secret = BridgeServer::instance().secret();
    const auto origin = BridgeServer::instance().origin();

    struct Refused
    {
        std::string path;
        std::string origin;
    };
    const Refused refused[] = {
        { path, "" },
        { path, "http://evil.example" },
        { path, "http://localhost:" + std::to_string(BridgeServer::instance().port()) },
        { path, "http://127.0.0.1:1" },
        { path, "null" },
        { "/" + secret + "/" + b.getWindowId() + "/", origin },
        { "/" + secret + "/w999999/__bridge", origin },
        { "/__bridge", origin },
        { "/" + std::string(64, '0') + "/" + b.getWindowId() + "/__bridge", origin },
    };
    for (const auto& r : refused)
        EXPECT_THROW(PageSocket(r.path, r.origin), boost::system::system_error) << r.path << " from " << r.origin;

    PageSocket page(path);
    page.call("hasUnsavedChanges", {}, 7);
    juce::var result;
    ASSERT_TRUE(page.resultOf(7, result));
    EXPECT_TRUE(result.isBool());
}

TEST_F(TransportTest, HostileMessagesLeaveServerAndOtherWindowsWorking)
{
    auto& a = makeBridge();
    auto& b = makeBridge("routing");
    PageSocket hostile(BridgeServer::instance().bridgePath(a.getWindowId()));
    PageSocket other(BridgeServer::instance().bridgePath(b.getWindowId()));

    const std::string messages[] = {
        "",
        "not json",
        "{",
        "{\"event\":",
        "[1,2,3]",
        "{\"event\":42}",
        "{\"event\":\"__juce__invoke\"}",
        "{\"event\":\"__juce__invoke\",\"payload\":{\"name\":7,\"resultId\":1}}",
        "{\"event\":\"__juce__invoke\",\"payload\":{\"name\":\"getState\",\"resultId\":\"x\"}}",
        "{\"event\":\"__juce__invoke\",\"payload\":{\"name\":\"getState\",\"resultId\":1e308}}",
        "{\"event\":\"__juce__invoke\",\"payload\":{\"name\":\"setParameter\",\"params\":\"oops\",\"resultId\":2}}",
        "{\"event\":\"__juce__invoke\",\"payload\":{\"name\":\"addCanvasModule\",\"params\":[{},[],null],\"resultId\":3}}",
        std::string(100000, '[') + std::string(100000, ']'),
        "{\"event\":\"" + std::string(100000, 'x') + "\"}",
    };
    for (const auto& m : messages)
        hostile.sendText(m);

    // Unknown names answer undefined, so the page's promise does not hang.
    hostile.call("noSuchFunction", {}, 11);
    juce::var result = 1;
    ASSERT_TRUE(hostile.resultOf(11, result));
    EXPECT_TRUE(result.isVoid() || result.isUndefined());

    // The wrongly typed calls still answered once each, with their failure.
    ASSERT_TRUE(hostile.resultOf(2, result));
    EXPECT_EQ(static_cast<int>(result), -1);
    ASSERT_TRUE(hostile.resultOf(3, result));
    EXPECT_FALSE(static_cast<bool>(result));

    other.call("getState", {}, 1);
    ASSERT_TRUE(other.resultOf(1, result));
    EXPECT_TRUE(result.toString().startsWith("{"));
    EXPECT_EQ(httpGet(BridgeServer::instance().windowUrl(a.getWindowId()).substr(BridgeServer::instance().origin().size())).status, 200);
}

TEST_F(TransportTest, OversizedMessageClosesOnlyThatSocket)
{
    auto& a = makeBridge();
    PageSocket big(BridgeServer::instance().bridgePath(a.getWindowId()));
    PageSocket small(BridgeServer::instance().bridgePath(a.getWindowId()));
    std::string huge = "{\"event\":\"__juce__invoke\",\"payload\":{\"name\":\"setClipboardText\",\"params\":[\"";
    huge += std::string(BridgeServer::kMaxMessageBytes, 'a');
    huge += "\"],\"resultId\":1}}";
    big.sendText(std::move(huge));
    EXPECT_TRUE(big.waitClosed(20000));

    small.call("hasUnsavedChanges", {}, 5);
    juce::var result;
    EXPECT_TRUE(small.resultOf(5, result));
    EXPECT_EQ(bridgePlatform().getClipboardText(), juce::String());
}

TEST_F(TransportTest, EventsReachEveryPageOfTheWindowAndOnlyWhileVisible)
{
    bool visible = true;
    auto& a = makeBridge({}, {}, [&] { return visible; });
    auto& b = makeBridge("routing");
    PageSocket first(BridgeServer::instance().bridgePath(a.getWindowId()));
    PageSocket second(BridgeServer::instance().bridgePath(a.getWindowId()));
    PageSocket elsewhere(BridgeServer::instance().bridgePath(b.getWindowId()));
    ASSERT_TRUE(pumpUntil([&] { return BridgeServer::instance().connectionCount(a.getWindowId()) == 2; }));

    a.emitError("Stop DSP before undoing a change.");
    juce::var payload;
    ASSERT_TRUE(first.waitFor("nativeError", payload));
    EXPECT_EQ(payload.toString(), "Stop DSP before undoing a change.");
    ASSERT_TRUE(second.waitFor("nativeError", payload));
    pumpFor(100);
    EXPECT_EQ(elsewhere.count("nativeError"), 0);

    visible = false;
    a.emitMenuCommand("refresh");
    visible = true;
    a.emitMenuCommand("save");
    ASSERT_TRUE(first.waitFor("nativeShortcut", payload));
    EXPECT_EQ(payload.toString(), "save");
    EXPECT_EQ(first.count("nativeShortcut"), 0);
}

TEST_F(TransportTest, DecoderSurvivesMutatedMessages)
{
    const std::string seeds[] = {
        "{\"event\":\"__juce__invoke\",\"payload\":{\"name\":\"setParameter\",\"params\":[\"outputs.0.mute\",true,\"c\"],\"resultId\":3}}",
        "{\"event\":\"__juce__invoke\",\"payload\":{\"name\":\"getState\",\"params\":[],\"resultId\":1}}",
        "{\"event\":\"x\",\"payload\":[1.5e3,-0,\"\\u00e9\\ud83d\\ude00\",null,{\"a\":{\"b\":[]}}]}",
    };
    std::mt19937 random(20240611);
    const char alphabet[] = "{}[]\",:\\0123456789eE+-.truefalsn \x80\xff\xc3";
    int decoded = 0;
    for (int i = 0; i < 20000; ++i)
    {
        auto text = seeds[static_cast<size_t>(i) % 3];
        const int edits = 1 + static_cast<int>(random() % 8);
        for (int k = 0; k < edits && ! text.empty(); ++k)
        {
            const auto at = random() % text.size();
            switch (random() % 4)
            {
                case 0: text[at] = alphabet[random() % (sizeof(alphabet) - 1)]; break;
                case 1: text.erase(at, 1 + random() % 4); break;
                case 2: text.insert(at, 1, alphabet[random() % (sizeof(alphabet) - 1)]); break;
                default: text = text.substr(0, at); break;
            }
        }
        juce::String event;
        juce::var payload;
        if (decodeBridgeMessage(text, event, payload))
        {
            ++decoded;
            NativeCall call;
            readNativeCall(payload, call);
        }
    }
    EXPECT_GT(decoded, 0);
}
} // namespace
} // namespace speaker::test
