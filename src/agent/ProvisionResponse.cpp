#include "agent/ProvisionResponse.h"

#include "agent/JsonDecodingError.h"

#include <nlohmann/json.hpp>

namespace kestrune {

namespace {

// The kind of a JSON value as a sentence needs it: "is an object", "is null".
std::string kindWithArticle(const nlohmann::json& value)
{
    switch (value.type()) {
    case nlohmann::json::value_t::null:
        return "null";
    case nlohmann::json::value_t::object:
        return "an object";
    case nlohmann::json::value_t::array:
        return "an array";
    case nlohmann::json::value_t::string:
        return "a string";
    case nlohmann::json::value_t::boolean:
        return "a boolean";
    default:
        return "a number";
    }
}

std::string stringMember(const nlohmann::json& object, const char* key)
{
    const auto member = object.find(key);
    if (member == object.end()) {
        throw JsonDecodingError(std::string("The relay's reply has no value for \"") + key + "\".");
    }
    if (!member->is_string()) {
        throw JsonDecodingError(std::string("The value for \"") + key + "\" in the relay's reply is " +
                                kindWithArticle(*member) + ", not a string.");
    }
    return member->get<std::string>();
}

} // namespace

ProvisionResponse ProvisionResponse::decode(std::string_view body)
{
    nlohmann::json document;
    try {
        document = nlohmann::json::parse(body);
    } catch (const nlohmann::json::parse_error& error) {
        // The parser's own message is not shown: it starts with a library-internal tag
        // and quotes what it last read, which can be most of the reply, bytes that are
        // not UTF-8, or a token meant for the agent. Where it went wrong is enough.
        throw JsonDecodingError("The relay's reply is not valid JSON (it goes wrong at byte " +
                                std::to_string(error.byte) + ").");
    } catch (const nlohmann::json::exception&) {
        throw JsonDecodingError("The relay's reply is not valid JSON.");
    }
    if (!document.is_object()) {
        throw JsonDecodingError("The relay's reply is " + kindWithArticle(document) + " where an object was expected.");
    }
    ProvisionResponse response;
    response.deviceID = stringMember(document, "device_id");
    response.serverToken = stringMember(document, "server_token");
    response.clientToken = stringMember(document, "client_token");
    return response;
}

} // namespace kestrune
