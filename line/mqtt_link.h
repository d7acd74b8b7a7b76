#pragma once
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include "line/line_url.h"

struct mosquitto;
struct mosquitto_message;

struct MqttSettings {
    LineUrl url;
    std::string strCaFile;  // TLS: the CA that signed the broker's certificate; empty: the system's
    std::string strUser;    // empty: no login
    std::string strPassword;
    std::string strClientId;
    // A persistent session keeps the subscriber's QoS 1 messages at the
    // broker while it is away.
    bool bCleanSession = true;
    std::string strWillTopic;  // empty: no last will
    std::string strWillPayload;
};

// Reads a user name (first line) and a password (second line).
bool ReadCredentialsFile(const std::string& path, MqttSettings& settings, std::string& error);

// One connection to the broker through libmosquitto, whose own thread reads,
// writes and reconnects; every publish and subscription is QoS 1. The
// callbacks run on that thread: set them before Connect.
class CMqttLink {
public:
    CMqttLink();
    ~CMqttLink();

    std::function<void(bool connected)> onConnection;
    std::function<void(int mid)> onAcked;  // PUBACK of a publish, or SUBACK
    std::function<void(const std::string& topic, const std::string& payload, bool retained)> onMessage;

    // The first connection is awaited (timeoutMs): a wrong CA, a refused
    // login, an unknown host or an unreachable broker is a one-line error.
    // Later losses are reconnected for as long as the link lives.
    bool Connect(const MqttSettings& settings, int timeoutMs, std::string& error);
    // The message id, or -1 when the library refused it at once.
    int Publish(const std::string& topic, const std::string& payload, bool retain);
    int Subscribe(const std::string& pattern);
    bool IsConnected();
    // Says goodbye (the last will is not sent) and stops the thread.
    void Disconnect();

private:
    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnDisconnect(mosquitto*, void* self, int rc);
    static void Acked(void* self, int mid);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);

    mosquitto* m_pMosq = nullptr;
    bool m_bLoopRunning = false;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_bConnected = false;
    bool m_bEverConnected = false;
    int m_nRefusal = -1;  // CONNACK's code when the broker said no
    bool m_bDropped = false;
    bool m_bTlsFailed = false;
    std::string m_strLastError;  // the library's last error log line (TLS)
};
