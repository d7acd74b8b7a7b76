#include "line/mqtt_link.h"

#include <mosquitto.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string_view>

#include "base/fail_with.h"

namespace {

constexpr int kKeepAliveSeconds = 10;

std::once_flag g_libraryInit;

std::string WithoutLineEnd(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

// Why the broker's certificate was not accepted, in the words of the one
// who set the line up: the library's log says only that it was not. A
// handshake of our own, which verifies and records rather than stops,
// tells the unknown CA from the name mismatch.
std::string CertificateProblem(const LineUrl& url, const std::string& caFile)
{
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (!context)
        return "its certificate was not accepted";
    if (caFile.empty())
        SSL_CTX_set_default_verify_paths(context);
    else
        SSL_CTX_load_verify_locations(context, caFile.c_str(), nullptr);
    BIO* bio = BIO_new_ssl_connect(context);
    SSL* ssl = nullptr;
    BIO_get_ssl(bio, &ssl);
    const std::string target = (url.strHost.find(':') != std::string::npos ? "[" + url.strHost + "]" : url.strHost) +
                               ":" + std::to_string(url.nPort);
    BIO_set_conn_hostname(bio, target.c_str());
    SSL_set_tlsext_host_name(ssl, url.strHost.c_str());
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    if (X509_VERIFY_PARAM_set1_ip_asc(param, url.strHost.c_str()) != 1)
        X509_VERIFY_PARAM_set1_host(param, url.strHost.c_str(), 0);
    std::string what = "its certificate was not accepted";
    if (BIO_do_handshake(bio) == 1) {
        const long result = SSL_get_verify_result(ssl);
        const std::string words = X509_verify_cert_error_string(result);
        if (result == X509_V_ERR_HOSTNAME_MISMATCH || result == X509_V_ERR_IP_ADDRESS_MISMATCH)
            what = "its certificate does not name " + url.strHost + " (a name mismatch: " + words + ")";
        else if (result == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY ||
                 result == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT || result == X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN ||
                 result == X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT)
            what = "its certificate is not signed by " +
                   (caFile.empty() ? std::string("a CA the system trusts") : "the line's CA " + caFile) +
                   " (an unknown CA: " + words + ")";
        else if (result != X509_V_OK)
            what = "its certificate is not valid: " + words;
    }
    BIO_free_all(bio);
    SSL_CTX_free(context);
    return what;
}

// The library's OpenSSL line, in words.
std::string TlsFailureText(const MqttSettings& settings, const std::string& where, const std::string& openssl)
{
    std::string what;
    if (openssl.find("certificate verify failed") != std::string::npos)
        what = CertificateProblem(settings.url, settings.strCaFile);
    else if (openssl.find("wrong version number") != std::string::npos ||
             openssl.find("unexpected eof") != std::string::npos || openssl.find("record layer") != std::string::npos ||
             openssl.find("packet length") != std::string::npos)
        what = "it does not speak TLS on that port (a plain mqtt:// port?)";
    else
        what = "the TLS handshake failed";
    return "the line's broker at " + where + " was not trusted: " + what + " (" + openssl + ")";
}

}  // namespace

bool ReadCredentialsFile(const std::string& path, MqttSettings& settings, std::string& error)
{
    std::ifstream in(path);
    std::string user;
    std::string password;
    if (!in || !std::getline(in, user))
        return FailWith(error, "cannot read the line's credentials file " + path + ": " + std::strerror(errno));
    std::getline(in, password);
    settings.strUser = WithoutLineEnd(user);
    settings.strPassword = WithoutLineEnd(password);
    if (settings.strUser.empty())
        return FailWith(error, "the line's credentials file " + path + " has no user name on its first line");
    return true;
}

CMqttLink::CMqttLink()
{
    std::call_once(g_libraryInit, []() { mosquitto_lib_init(); });
}

CMqttLink::~CMqttLink()
{
    Disconnect();
    if (m_pMosq)
        mosquitto_destroy(m_pMosq);
}

bool CMqttLink::Connect(const MqttSettings& settings, int timeoutMs, std::string& error)
{
    const LineUrl& url = settings.url;
    const std::string where = url.strHost + ":" + std::to_string(url.nPort);
    m_pMosq = mosquitto_new(settings.strClientId.c_str(), settings.bCleanSession, this);
    if (!m_pMosq)
        return FailWith(error, "the MQTT client could not be set up: " + std::string(std::strerror(errno)));
    mosquitto_int_option(m_pMosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(m_pMosq, OnConnect);
    mosquitto_disconnect_callback_set(m_pMosq, OnDisconnect);
    // PUBACK and SUBACK alike end in onAcked.
    mosquitto_publish_callback_set(m_pMosq, [](mosquitto*, void* self, int mid) { Acked(self, mid); });
    mosquitto_subscribe_callback_set(m_pMosq,
                                     [](mosquitto*, void* self, int mid, int, const int*) { Acked(self, mid); });
    mosquitto_message_callback_set(m_pMosq, OnMessage);
    mosquitto_log_callback_set(m_pMosq, [](mosquitto*, void* self, int level, const char* text) {
        if (!(level & MOSQ_LOG_ERR) || !text)
            return;
        auto* link = static_cast<CMqttLink*>(self);
        std::lock_guard lock(link->m_mutex);
        link->m_strLastError = text;
        // A handshake that failed fails again on every retry: the first
        // connection ends here rather than at its timeout.
        if (std::string_view(text).starts_with("OpenSSL Error")) {
            link->m_bTlsFailed = true;
            link->m_changed.notify_all();
        }
    });
    mosquitto_reconnect_delay_set(m_pMosq, 1, 4, true);
    if (url.bTls) {
        if (!settings.strCaFile.empty() && access(settings.strCaFile.c_str(), R_OK) != 0)
            return FailWith(error,
                            "the line's CA file " + settings.strCaFile + " cannot be read: " + std::strerror(errno));
        const int rc = settings.strCaFile.empty()
                           ? mosquitto_int_option(m_pMosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1)
                           : mosquitto_tls_set(m_pMosq, settings.strCaFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            return FailWith(error,
                            "the line's CA file " + settings.strCaFile + " cannot be used: " + mosquitto_strerror(rc));
    }
    if (!settings.strUser.empty())
        mosquitto_username_pw_set(m_pMosq, settings.strUser.c_str(), settings.strPassword.c_str());
    if (!settings.strWillTopic.empty()) {
        mosquitto_will_set(m_pMosq, settings.strWillTopic.c_str(), static_cast<int>(settings.strWillPayload.size()),
                           settings.strWillPayload.data(), 1, true);
    }

    const int rc = mosquitto_connect(m_pMosq, url.strHost.c_str(), url.nPort, kKeepAliveSeconds);
    if (rc == MOSQ_ERR_EAI)
        return FailWith(error, "the line's broker host '" + url.strHost + "' is unknown (name lookup failed)");
    if (rc == MOSQ_ERR_ERRNO)
        return FailWith(error, "cannot reach the line's broker at " + where + ": " + std::strerror(errno));
    if (rc != MOSQ_ERR_SUCCESS) {
        std::lock_guard lock(m_mutex);
        if (m_bTlsFailed)
            return FailWith(error, TlsFailureText(settings, where, m_strLastError));
        return FailWith(error, "cannot connect to the line's broker at " + where + ": " +
                                   (m_strLastError.empty() ? mosquitto_strerror(rc) : m_strLastError));
    }
    mosquitto_loop_start(m_pMosq);
    m_bLoopRunning = true;

    std::unique_lock lock(m_mutex);
    const bool settled = m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this]() {
        return m_bEverConnected || m_nRefusal >= 0 || m_bDropped || m_bTlsFailed;
    });
    if (m_bEverConnected)
        return true;
    const std::string detail = m_strLastError.empty() ? std::string() : ": " + m_strLastError;
    if (m_bTlsFailed)
        error = TlsFailureText(settings, where, m_strLastError);
    else if (m_nRefusal >= 0)
        error = "the line's broker at " + where + " refused the login: " + mosquitto_connack_string(m_nRefusal);
    else if (settled)
        error = "the line's broker at " + where + " dropped the connection" + detail;
    else
        error = "the line's broker at " + where + " did not answer within " + std::to_string(timeoutMs / 1000) + " s" +
                detail;
    lock.unlock();
    Disconnect();
    return false;
}

int CMqttLink::Publish(const std::string& topic, const std::string& payload, bool retain)
{
    int mid = -1;
    const int rc =
        mosquitto_publish(m_pMosq, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, retain);
    return rc == MOSQ_ERR_SUCCESS ? mid : -1;
}

int CMqttLink::Subscribe(const std::string& pattern)
{
    int mid = -1;
    return mosquitto_subscribe(m_pMosq, &mid, pattern.c_str(), 1) == MOSQ_ERR_SUCCESS ? mid : -1;
}

bool CMqttLink::IsConnected()
{
    std::lock_guard lock(m_mutex);
    return m_bConnected;
}

void CMqttLink::Disconnect()
{
    if (!m_bLoopRunning)
        return;
    mosquitto_disconnect(m_pMosq);
    mosquitto_loop_stop(m_pMosq, false);
    m_bLoopRunning = false;
}

void CMqttLink::OnConnect(mosquitto*, void* self, int rc)
{
    auto* link = static_cast<CMqttLink*>(self);
    {
        std::lock_guard lock(link->m_mutex);
        if (rc != 0) {
            // A refusal is not retried: the same login would be refused again.
            if (!link->m_bEverConnected)
                link->m_nRefusal = rc;
        } else {
            link->m_bConnected = true;
            link->m_bEverConnected = true;
        }
        link->m_changed.notify_all();
    }
    if (rc != 0 && !link->m_bEverConnected) {
        mosquitto_disconnect(link->m_pMosq);
        return;
    }
    if (rc == 0 && link->onConnection)
        link->onConnection(true);
}

void CMqttLink::OnDisconnect(mosquitto*, void* self, int)
{
    auto* link = static_cast<CMqttLink*>(self);
    bool was;
    {
        std::lock_guard lock(link->m_mutex);
        was = link->m_bConnected;
        link->m_bConnected = false;
        link->m_bDropped = true;
        link->m_changed.notify_all();
    }
    if (was && link->onConnection)
        link->onConnection(false);
}

void CMqttLink::Acked(void* self, int mid)
{
    auto* link = static_cast<CMqttLink*>(self);
    if (link->onAcked)
        link->onAcked(mid);
}

void CMqttLink::OnMessage(mosquitto*, void* self, const mosquitto_message* message)
{
    auto* link = static_cast<CMqttLink*>(self);
    if (!link->onMessage || !message->topic)
        return;
    // libmosquitto writes the PUBACK of a QoS 1 message only once this
    // callback has returned: a subscriber that stores here acks what it stored.
    link->onMessage(message->topic,
                    std::string(static_cast<const char*>(message->payload), static_cast<size_t>(message->payloadlen)),
                    message->retain);
}
