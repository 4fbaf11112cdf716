#include "ReliabilitySupport.h"
#include "agent/AgentManager.h"
#include "agent/HttpTransport.h"
#include "agent/JsonDecodingError.h"
#include "common/AgentFixture.h"
#include "support/KestruneError.h"
#include "support/Utf8.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <openssl/x509.h>

using namespace kestrune;
using namespace kestrune::reliability;
using namespace kestrune::testkit;

namespace {

const std::string validReply = R"({"device_id":"d","server_token":"s","client_token":"c"})";

// A first run against `provisionURL` that must fail: the error must say something
// short and readable (an alert shows it), and nothing may be left in the state folder.
std::string clearFailure(AgentEnvironment environment, const std::string& provisionURL, const std::string& label)
{
    environment.provisionURL = provisionURL;
    const AgentManager manager(environment);
    std::string message;
    try {
        manager.ensureConfigured();
        ADD_FAILURE() << label << ": the reply was accepted";
    } catch (const std::exception& error) {
        message = error.what();
        EXPECT_FALSE(message.empty()) << label << ": an error without a message";
        EXPECT_LE(message.size(), 1024u) << label << ": a " << message.size() << "-byte message";
        EXPECT_TRUE(isValidUtf8(message)) << label << ": a message that is not UTF-8";
    }
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(manager.stateDirectory())) {
        left.push_back(entry.path().filename());
    }
    EXPECT_TRUE(left.empty()) << label << ": left " << left.size() << " files, the first " << left.front();
    return message;
}

// A server that reads the request and answers with canned bytes.
std::unique_ptr<RawServer> answering(std::string bytes)
{
    return std::make_unique<RawServer>([bytes = std::move(bytes)](int connection, RawServer&) {
        readRequestHead(connection);
        sendAll(connection, bytes);
    });
}

struct BadReply {
    std::string label;
    std::string bytes;    // what the relay sends back
    std::string expected; // part of the error text that names the reason
};

// Runs every case against a fresh raw server and returns how many were tried.
int tryAll(const std::vector<BadReply>& cases)
{
    AgentFixture fixture;
    for (const auto& bad : cases) {
        const auto server = answering(bad.bytes);
        const std::string message = clearFailure(fixture.environment(), server->url("/provision"), bad.label);
        EXPECT_NE(message.find(bad.expected), std::string::npos)
            << bad.label << ": expected \"" << bad.expected << "\" in: " << message.substr(0, 300);
    }
    EXPECT_EQ(fixture.relay().requestCount(), 0); // nothing followed a redirect to it
    return static_cast<int>(cases.size());
}

void reportTried(const char* what, int count)
{
    std::cout << "bad inputs tried (" << what << "): " << count << "\n";
    testing::Test::RecordProperty("bad_inputs", count);
}

std::string ok(const std::string& body)
{
    return httpReply(200, "OK", body);
}

std::string nestedObjects(int depth)
{
    std::string text;
    for (int i = 0; i < depth; ++i) {
        text += R"({"a":)";
    }
    return text + "1" + std::string(static_cast<std::size_t>(depth), '}');
}

std::string withMembers(const std::string& device, const std::string& server, const std::string& client)
{
    return R"({"device_id":)" + device + R"(,"server_token":)" + server + R"(,"client_token":)" + client + "}";
}

} // namespace

TEST(HostileRelay, EveryStatusButOkFailsWhateverTheBody)
{
    AgentFixture fixture;
    const std::string elsewhere = "Location: " + fixture.relay().url("/provision") + "\r\n";
    const std::string notOk = "Relay did not return 200";
    std::vector<BadReply> cases = {
        // Informational answers: a final 1xx, or an interim one with nothing after it.
        {"101", "HTTP/1.1 101 Switching Protocols\r\nConnection: upgrade\r\n\r\n" + validReply, notOk},
        {"100 alone", "HTTP/1.1 100 Continue\r\n\r\n", "Empty reply"},
        {"103 alone", "HTTP/1.1 103 Early Hints\r\nLink: </x>\r\n\r\n", "Empty reply"},
        {"204", "HTTP/1.1 204 No Content\r\n\r\n", notOk},
        {"304", "HTTP/1.1 304 Not Modified\r\n\r\n", notOk},
    };
    for (const int status : {201, 202, 203, 206, 226, 300, 301, 302, 303, 307, 308, 400, 401, 403, 404,
                             405, 409, 410, 418, 422, 429, 451, 500, 501, 502, 503, 504, 599, 999}) {
        // Redirects point at a relay that would answer well: they must not be followed.
        const std::string headers = status / 100 == 3 ? elsewhere : "";
        cases.push_back({std::to_string(status), httpReply(status, "Whatever", validReply, headers), notOk});
    }
    reportTried("statuses", tryAll(cases));
}

TEST(HostileRelay, BodiesThatAreNotTheExpectedObjectFail)
{
    const std::string notJson = "not valid JSON";
    const std::string missing = "missing required fields";
    const std::string noValue = "has no value for \"";
    const auto wrongType = [](const char* type, const char* member) {
        return std::string("has a ") + type + " where a string was expected for \"" + member + "\"";
    };
    const std::string deep(100000, '[');
    const std::vector<BadReply> cases = {
        {"no body", ok(""), notJson},
        {"no length, no body", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n", notJson},
        {"white space", ok(" \r\n\t "), notJson},
        {"empty object", ok("{}"), noValue + "device_id\""},
        {"array", ok("[]"), "JSON array where an object"},
        {"string", ok("\"device_id\""), "JSON string where an object"},
        {"number", ok("42"), "JSON number where an object"},
        {"boolean", ok("true"), "JSON boolean where an object"},
        {"null", ok("null"), "JSON null where an object"},
        {"number member", ok(withMembers("1", "\"s\"", "\"c\"")), wrongType("number", "device_id")},
        {"array member", ok(withMembers("\"d\"", "[\"s\"]", "\"c\"")), wrongType("array", "server_token")},
        {"object member", ok(withMembers("\"d\"", "\"s\"", R"({"v":"c"})")), wrongType("object", "client_token")},
        {"boolean member", ok(withMembers("false", "\"s\"", "\"c\"")), wrongType("boolean", "device_id")},
        {"null members", ok(withMembers("null", "null", "null")), wrongType("null", "device_id")},
        {"empty device", ok(withMembers("\"\"", "\"s\"", "\"c\"")), missing},
        {"empty server token", ok(withMembers("\"d\"", "\"\"", "\"c\"")), missing},
        {"empty client token", ok(withMembers("\"d\"", "\"s\"", "\"\"")), missing},
        {"missing member", ok(R"({"device_id":"d","server_token":"s"})"), noValue + "client_token\""},
        {"names in another case", ok(R"({"Device_ID":"d","Server_Token":"s","Client_Token":"c"})"), noValue},
        {"truncated", ok(R"({"device_id":"d","server_tok)"), notJson},
        {"trailing text", ok(validReply + " x"), notJson},
        {"two objects", ok(validReply + validReply), notJson},
        {"comment", ok("/* c */" + validReply), notJson},
        {"single quotes", ok("{'device_id':'d','server_token':'s','client_token':'c'}"), notJson},
        {"invalid UTF-8", ok(withMembers("\"d\xff\"", "\"s\"", "\"c\"")), notJson},
        {"overlong UTF-8", ok(withMembers("\"\xc0\xaf\"", "\"s\"", "\"c\"")), notJson},
        {"UTF-8 surrogate", ok(withMembers("\"\xed\xa0\x80\"", "\"s\"", "\"c\"")), notJson},
        {"cut UTF-8", ok(withMembers("\"\xe2\x82\"", "\"s\"", "\"c\"")), notJson},
        {"lone surrogate escape", ok(withMembers(R"("\ud800")", "\"s\"", "\"c\"")), notJson},
        {"raw control character", ok(withMembers("\"d\x01\"", "\"s\"", "\"c\"")), notJson},
        {"raw NUL", ok(withMembers(std::string("\"d\0\"", 4), "\"s\"", "\"c\"")), notJson},
        {"number overflow", ok(withMembers("1e999999", "\"s\"", "\"c\"")), notJson},
        {"100k open brackets", ok(deep), notJson},
        {"100k nested arrays", ok(deep + std::string(100000, ']')), "JSON array where an object"},
        {"nesting in a member", ok(withMembers(deep + std::string(100000, ']'), "\"s\"", "\"c\"")),
         wrongType("array", "device_id")},
        {"100k nested objects", ok(nestedObjects(100000)), noValue + "device_id\""},
        // A NUL cannot reach the agent through the environment.
        {"NUL in device", ok(withMembers(R"("d\u0000")", "\"s\"", "\"c\"")), "NUL character"},
        {"NUL in server token", ok(withMembers("\"d\"", R"("\u0000s")", "\"c\"")), "NUL character"},
        {"NUL in client token", ok(withMembers("\"d\"", "\"s\"", R"("c\u0000c")")), "NUL character"},
    };
    reportTried("bodies", tryAll(cases));
}

// The decoder's message must not quote the reply: it can be most of a megabyte, not
// UTF-8, or hold a token meant for the agent alone.
TEST(HostileRelay, DecodingErrorsQuoteNothingOfTheReply)
{
    const std::string secret = "Secret-Token-4c1f";
    const std::vector<BadReply> cases = {
        {"secret before a bad byte", ok(withMembers("\"d\"", "\"" + secret + "\xff\"", "\"c\"")), "not valid JSON"},
        {"secret before a cut", ok(withMembers("\"d\"", "\"" + secret, "")), "not valid JSON"},
        {"secret as a bad literal", ok(withMembers("\"d\"", secret, "\"c\"")), "not valid JSON"},
        {"secret digits overflow", ok(withMembers("\"d\"", "4" + std::string(400, '1') + "e99999", "\"c\"")),
         "not valid JSON"},
        {"900 KB token, bad end", ok(withMembers("\"" + std::string(900000, 'x') + "\x01\"", "\"s\"", "\"c\"")),
         "not valid JSON"},
    };
    AgentFixture fixture;
    for (const auto& bad : cases) {
        const auto server = answering(bad.bytes);
        const std::string message = clearFailure(fixture.environment(), server->url("/provision"), bad.label);
        EXPECT_EQ(message.find(secret), std::string::npos) << bad.label << ": " << message;
        EXPECT_EQ(message.find("1111111111"), std::string::npos) << bad.label << ": " << message;
        EXPECT_EQ(message.find("xxxxxxxxxx"), std::string::npos) << bad.label << ": " << message.substr(0, 300);
        EXPECT_NE(message.find(bad.expected), std::string::npos) << bad.label << ": " << message.substr(0, 300);
    }
    reportTried("quoting", static_cast<int>(cases.size()));
}

TEST(HostileRelay, BrokenTransfersFailWithTheTransportError)
{
    AgentFixture fixture;
    int tried = 0;
    const auto expectNetworkError = [&](RawServer::Behaviour behaviour, const std::string& label,
                                        const std::string& expected) {
        RawServer server(std::move(behaviour));
        const std::string message = clearFailure(fixture.environment(), server.url("/provision"), label);
        EXPECT_NE(message.find(expected), std::string::npos) << label << ": " << message;
        ++tried;
    };
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n";
    // Closing before the request is read may end in a reset or an empty reply: any
    // transport error will do.
    expectNetworkError([](int, RawServer&) {}, "closed at once", "");
    expectNetworkError([](int c, RawServer&) { readRequestHead(c); }, "closed after the request", "Empty reply");
    expectNetworkError(
        [](int c, RawServer&) {
            readRequestHead(c);
            resetOnClose(c);
        },
        "reset before answering", "reset");
    expectNetworkError(
        [&](int c, RawServer&) {
            readRequestHead(c);
            sendAll(c, head + validReply.substr(0, 20));
        },
        "body cut short", "transfer closed");
    expectNetworkError(
        [&](int c, RawServer&) {
            readRequestHead(c);
            sendAll(c, head + validReply.substr(0, 20));
            std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the head is read first
            resetOnClose(c);
        },
        "reset mid-body", "reset");
    expectNetworkError(
        [](int c, RawServer&) {
            readRequestHead(c);
            sendAll(c, "hello, this is not HTTP\r\n\r\n");
        },
        "not HTTP", "HTTP/0.9");
    expectNetworkError(
        [](int c, RawServer&) {
            readRequestHead(c);
            sendAll(c, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n" + validReply + "\r\n0\r\n\r\n");
        },
        "bad chunk size", "chunk");
    expectNetworkError(
        [](int c, RawServer&) {
            readRequestHead(c);
            sendAll(c, "HTTP/1.1 200 OK\r\n");
            for (int i = 0; i < 100000 && sendAll(c, "X-Filler: yes\r\n"); ++i) {
            }
        },
        "endless headers", "header");
    expectNetworkError(
        [](int c, RawServer&) {
            readRequestHead(c);
            sendAll(c, "HTTP/1.1 200 OK\r\nX-Filler: ");
            const std::string chunk(65536, 'y');
            for (int i = 0; i < 1000 && sendAll(c, chunk); ++i) {
            }
        },
        "endless header line", "memory");
    reportTried("transfers", tried);
}

// A relay that stays silent or sends a byte a second is ended by the request's
// time-out (shortened here), and a caller's wait that runs out first says so.
TEST(HostileRelay, SilentAndTricklingRelaysEndInATimeOut)
{
    AgentFixture fixture;
    AgentEnvironment environment = fixture.environment();
    environment.timings.provisionRequestTimeout = std::chrono::milliseconds(1500);
    environment.timings.provisionWait = std::chrono::milliseconds(8000);
    int tried = 0;

    std::atomic<int> trickled{0};
    {
        RawServer trickling([&](int c, RawServer& self) {
            readRequestHead(c);
            sendAll(c, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n");
            for (std::size_t i = 0; i < validReply.size() && sendAll(c, validReply.substr(i, 1)); ++i) {
                ++trickled;
                if (!self.idle(c, 1000)) {
                    break;
                }
            }
        });
        const std::string message = clearFailure(environment, trickling.url("/provision"), "trickle");
        EXPECT_NE(message.find("imed out"), std::string::npos) << message;
        ++tried;
    }
    EXPECT_GE(trickled.load(), 1);
    EXPECT_LT(trickled.load(), static_cast<int>(validReply.size()));

    {
        RawServer mute([](int c, RawServer& self) {
            readRequestHead(c);
            while (self.idle(c, 100)) {
            }
        });
        const std::string message = clearFailure(environment, mute.url("/provision"), "accepts, never answers");
        EXPECT_NE(message.find("imed out"), std::string::npos) << message;
        ++tried;
    }
    {
        SilentListener backlog; // never even accepts
        const std::string message = clearFailure(environment, backlog.url("/provision"), "never accepts");
        EXPECT_NE(message.find("imed out"), std::string::npos) << message;
        ++tried;
    }
    {
        RawServer mute([](int c, RawServer& self) {
            while (self.idle(c, 100)) {
            }
        });
        AgentEnvironment impatient = environment;
        impatient.timings.provisionRequestTimeout = std::chrono::milliseconds(3000);
        impatient.timings.provisionWait = std::chrono::milliseconds(300);
        EXPECT_EQ(clearFailure(impatient, mute.url("/provision"), "wait runs out"), "No response");
        ++tried;
    }
    reportTried("silence", tried);
}

namespace {

// A self-signed certificate for 127.0.0.1, made in memory for this run.
struct SelfSigned {
    SelfSigned() : key(EVP_EC_gen("P-256")), certificate(X509_new())
    {
        X509_set_version(certificate, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
        X509_gmtime_adj(X509_getm_notBefore(certificate), -60);
        X509_gmtime_adj(X509_getm_notAfter(certificate), 3600);
        X509_set_pubkey(certificate, key);
        X509_NAME* name = X509_get_subject_name(certificate);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1,
                                   -1, 0);
        X509_set_issuer_name(certificate, name);
        X509_sign(certificate, key, EVP_sha256());
    }
    SelfSigned(const SelfSigned&) = delete;
    SelfSigned& operator=(const SelfSigned&) = delete;
    ~SelfSigned()
    {
        X509_free(certificate);
        EVP_PKEY_free(key);
    }
    EVP_PKEY* key;
    X509* certificate;
};

} // namespace

TEST(HostileRelay, RefusedConnectionsAndUntrustedTlsFail)
{
    AgentFixture fixture;
    int tried = 0;
    const std::string refusedURL = "http://127.0.0.1:" + std::to_string(closedLoopbackPort()) + "/provision";
    EXPECT_NE(clearFailure(fixture.environment(), refusedURL, "refused").find("onnect"), std::string::npos);
    ++tried;

    // A well-formed answer over a channel nobody vouches for is still refused.
    SelfSigned identity;
    httplib::SSLServer tls(identity.certificate, identity.key);
    ASSERT_TRUE(tls.is_valid());
    std::atomic<int> answered{0};
    tls.Post("/provision", [&](const httplib::Request&, httplib::Response& response) {
        ++answered;
        response.set_content(validReply, "application/json");
    });
    const int port = tls.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { tls.listen_after_bind(); });
    while (!tls.is_running()) {
        std::this_thread::yield();
    }
    const std::string tlsURL = "https://127.0.0.1:" + std::to_string(port) + "/provision";
    EXPECT_NE(clearFailure(fixture.environment(), tlsURL, "self-signed").find("certificate"), std::string::npos);
    ++tried;
    tls.stop();
    serving.join();
    EXPECT_EQ(answered.load(), 0);

    // TLS spoken to a plain HTTP server.
    const std::string plainURL = "https://127.0.0.1:" + std::to_string(fixture.relay().port()) + "/provision";
    EXPECT_NE(clearFailure(fixture.environment(), plainURL, "https to plain http").find("SSL"), std::string::npos);
    ++tried;
    reportTried("connections", tried);
}

// A reply that never ends is cut off at the body limit: the manager reads about a
// mebibyte of it, its memory does not grow with the reply, and nothing is written.
TEST(HostileRelay, GigabyteBodyIsCutOffAtTheLimit)
{
    constexpr long long gibibyte = 1LL << 30;
    std::atomic<long long> sent{0};
    std::atomic<bool> peerClosed{false};
    RawServer endless([&](int c, RawServer&) {
        readRequestHead(c);
        const int small = 64 * 1024; // keeps our own side of the socket from holding much
        ::setsockopt(c, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        sendAll(c, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(gibibyte) + "\r\n\r\n");
        const std::string chunk(64 * 1024, 'x');
        while (sent.load() < gibibyte) {
            if (!sendAll(c, chunk)) {
                peerClosed = true;
                return;
            }
            sent += static_cast<long long>(chunk.size());
        }
    });
    AgentFixture fixture;
    const long long residentBefore = peakResidentKiB();
    resetPeakResident();
    const long long baseline = peakResidentKiB();
    const std::string message = clearFailure(fixture.environment(), endless.url("/provision"), "1 GiB body");
    const long long peakGrowth = peakResidentKiB() - baseline;
    EXPECT_EQ(message, "The relay's reply was too large to be a provisioning answer.");
    EXPECT_TRUE(peerClosed.load());

    // What the server got out is what the manager read plus what the two socket
    // buffers in between held when it hung up.
    EXPECT_LT(sent.load(), 8LL << 20) << "the manager kept reading";
    EXPECT_LT(peakGrowth, 64 * 1024) << "KiB of resident memory for a reply cut off at 1 MiB";
    std::cout << "1 GiB body: the relay got " << sent.load() << " bytes out before the manager hung up; resident peak "
              << "grew by " << peakGrowth << " KiB (from " << residentBefore << " KiB)\n";
    reportTried("endless body", 1);
}

// Duplicate member names: the reply is read as nlohmann reads any JSON object, where
// the last of equal names wins. RFC 8259 leaves the choice to the reader; this one
// is kept because it decides once and exactly: the value written is the last one,
// and a last one that is not a usable string fails like any other bad member.
TEST(HostileRelay, DuplicateMembersLastOneWins)
{
    AgentFixture fixture;
    const auto firstLine = [&](const std::string& body) {
        const auto server = answering(ok(body));
        AgentEnvironment environment = fixture.environment();
        environment.provisionURL = server->url("/provision");
        const AgentManager manager(environment);
        manager.ensureConfigured();
        const std::string line = splitLines(readFile(manager.configPath()))[0];
        std::filesystem::remove_all(manager.stateDirectory());
        return line;
    };
    EXPECT_EQ(firstLine(R"({"device_id":"first","device_id":"last","server_token":"s","client_token":"c"})"),
              "HALVENIX_DEVICE_ID='last'");
    EXPECT_EQ(firstLine(R"({"device_id":7,"server_token":"s","client_token":"c","device_id":"fixed"})"),
              "HALVENIX_DEVICE_ID='fixed'");

    const std::vector<BadReply> cases = {
        {"duplicate, last a number", ok(R"({"device_id":"good","server_token":"s","client_token":"c","device_id":7})"),
         "where a string was expected for \"device_id\""},
        {"duplicate, last empty", ok(R"({"device_id":"good","server_token":"s","client_token":"c","device_id":""})"),
         "missing required fields"},
        {"duplicate, last with NUL",
         ok(R"({"device_id":"d","server_token":"s","client_token":"c","client_token":"\u0000"})"), "NUL character"},
    };
    reportTried("duplicates", tryAll(cases));
}
