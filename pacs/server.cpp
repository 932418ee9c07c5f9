// The server description to and from the settings' JSON.
#include "pacs/server.h"

namespace kelvo::pacs {

QJsonObject ServerToJson(const TPacsServer& server) {
    // The password is deliberately absent: the window asks for it, or the system's
    // keyring keeps it, but no file of ours does.
    return QJsonObject{
        {"name", server.Name},
        {"url", server.BaseUrl.toString()},
        {"user", server.User},
        {"clearPassword", server.ClearPassword == TClearPassword::SendConfirmed},
        {"idleTimeoutMs", server.IdleTimeoutMs},
        {"aeTitle", server.Node.AeTitle},
        {"host", server.Node.Host},
        {"port", server.Node.Port},
        {"ourAeTitle", server.Node.OurAeTitle},
        {"ourPort", server.Node.OurPort},
    };
}

TPacsServer ServerFromJson(const QJsonObject& json) {
    TPacsServer server;
    server.Name = json.value("name").toString();
    server.BaseUrl = QUrl(json.value("url").toString());
    server.User = json.value("user").toString();
    server.ClearPassword = json.value("clearPassword").toBool() ? TClearPassword::SendConfirmed : TClearPassword::Refuse;
    server.IdleTimeoutMs = json.value("idleTimeoutMs").toInt(server.IdleTimeoutMs);
    server.Node.AeTitle = json.value("aeTitle").toString();
    server.Node.Host = json.value("host").toString();
    const int port = json.value("port").toInt(server.Node.Port);
    if (port > 0 && port <= 65535) server.Node.Port = static_cast<uint16_t>(port);
    server.Node.OurAeTitle = json.value("ourAeTitle").toString(server.Node.OurAeTitle);
    const int ourPort = json.value("ourPort").toInt(0);
    if (ourPort > 0 && ourPort <= 65535) server.Node.OurPort = static_cast<uint16_t>(ourPort);
    return server;
}

} // namespace kelvo::pacs
