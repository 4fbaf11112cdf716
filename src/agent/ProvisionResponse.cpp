#include "agent/ProvisionResponse.h"

#include "agent/JsonDecodingError.h"

#include <nlohmann/json.hpp>

#include <initializer_list>

namespace kestrune {

namespace {

std::string stringMember(const nlohmann::json& object, const char* key)
{
    const auto member = object.find(key);
    if (member == object.end()) {
        throw JsonDecodingError(std::string("The relay's reply has no value for \"") + key + "\".");
    }
    if (!member->is_string()) {
        throw JsonDecodingError(std::string("The relay's reply has a ") + member->type_name() +
                                " where a string was expected for \"" + key + "\".");
    }
    return member->get<std::string>();
}

// The parser's message ends by quoting what it last read, which can be most of the
// reply: a megabyte of it, bytes that are not UTF-8, or a token meant for the agent.
// Only the parser's own explanation before the quote is kept.
std::string withoutQuotedInput(const nlohmann::json::exception& error)
{
    std::string message = error.what();
    for (const char* quote : {"; last read: '", " parsing '"}) {
        if (const auto start = message.find(quote); start != std::string::npos) {
            message.resize(start);
        }
    }
    return message;
}

} // namespace

ProvisionResponse ProvisionResponse::decode(std::string_view body)
{
    nlohmann::json document;
    try {
        document = nlohmann::json::parse(body);
    } catch (const nlohmann::json::exception& error) {
        throw JsonDecodingError("The relay's reply is not valid JSON: " + withoutQuotedInput(error));
    }
    if (!document.is_object()) {
        throw JsonDecodingError(std::string("The relay's reply is a JSON ") + document.type_name() +
                                " where an object was expected.");
    }
    ProvisionResponse response;
    response.deviceID = stringMember(document, "device_id");
    response.serverToken = stringMember(document, "server_token");
    response.clientToken = stringMember(document, "client_token");
    return response;
}

} // namespace kestrune
