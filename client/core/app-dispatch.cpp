#include "client/core/app.h"

#include "log.h"

namespace
{

const char kComponent[] = "client_debug";

// Matched in this order. Actions whose handlers are not built yet are answered like any
// unknown action.
const AerolithApp::Action kActions[] = {
    {"link", &AerolithApp::do_link},
    {"unlink", &AerolithApp::do_unlink},
    {"link_connection", &AerolithApp::add_connection},
    {"reload_connection", &AerolithApp::reload_connection},
    {"unlink_connection", &AerolithApp::remove_connection},
    {"get_status", &AerolithApp::get_status},
    {"add_session", &AerolithApp::add_session},
    {"remove_session", &AerolithApp::remove_session},
    {"pause", &AerolithApp::pause_session},
    {"resume", &AerolithApp::resume_session},
    {"add_event", &AerolithApp::add_event},
    {"reload_session", &AerolithApp::reload_session},
};

} // namespace

const AerolithApp::Action *AerolithApp::actions(size_t &count)
{
    count = sizeof(kActions) / sizeof(kActions[0]);
    return kActions;
}

int AerolithApp::do_unlink(const PObject &msg, PObject &response)
{
    (void)msg;
    (void)response;
    return do_unlink();
}

void AerolithApp::handle_control(const PObject &msg, PObject &response)
{
    if (Logger::IsEnabled(Logger::L_DEBUG, kComponent)) {
        Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] app.cpp(%d): >>> %s\n", __LINE__,
                       msg.toString().c_str_utf8());
    }
    if (!msg.hasMember("action")) {
        return;
    }
    ustring action = msg["action"].asString();
    if (action == "stop") {
        app_running = 0;
        do_unlink();
        return;
    }
    size_t count = 0;
    const Action *table = actions(count);
    const Action *found = nullptr;
    for (size_t i = 0; i < count && found == nullptr; ++i) {
        if (action == table[i].name) {
            found = &table[i];
        }
    }
    if (found != nullptr) {
        (this->*(found->handler))(msg, response);
    } else {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): <<< Unknown IPC action: %s\n", __LINE__,
                       action.c_str_utf8());
    }
    if (Logger::IsEnabled(Logger::L_DEBUG, kComponent)) {
        Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] app.cpp(%d): <<< %s\n", __LINE__,
                       response.toString().c_str_utf8());
    }
}
