#include "agent/ProvisionResponse.h"

#include "agent/JsonDecodingError.h"

#include <nlohmann/json.hpp>

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

} // namespace

ProvisionResponse ProvisionResponse::decode(std::string_view body)
{
    nlohmann::json document;
    try {
        document = nlohmann::json::parse(body);
    } catch (const nlohmann::json::exception& error) {
        throw JsonDecodingError(std::string("The relay's reply is not valid JSON: ") + error.what());
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
