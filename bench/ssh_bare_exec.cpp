// The least an SSH client can do to run one command: connect, check the host key against the
// given known_hosts file, log in with a key file, exec `true` on one channel, read to EOF,
// disconnect. bench/ssh_scan.sh times it as the floor under a remote scan.
//
//     ssh_bare_exec HOST PORT USER KEYFILE KNOWN_HOSTS
#include <libssh/libssh.h>

#include <cstdio>
#include <cstdlib>

namespace {

int fail(ssh_session session, const char* what) {
    std::fprintf(stderr, "ssh_bare_exec: %s: %s\n", what, ssh_get_error(session));
    ssh_disconnect(session);
    ssh_free(session);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s HOST PORT USER KEYFILE KNOWN_HOSTS\n", argv[0]);
        return 2;
    }
    const int port = std::atoi(argv[2]);
    const int off = 0;
    ssh_session session = ssh_new();
    if (session == nullptr) return 1;
    ssh_options_set(session, SSH_OPTIONS_PROCESS_CONFIG, &off);
    ssh_options_set(session, SSH_OPTIONS_HOST, argv[1]);
    ssh_options_set(session, SSH_OPTIONS_PORT, &port);
    ssh_options_set(session, SSH_OPTIONS_USER, argv[3]);
    ssh_options_set(session, SSH_OPTIONS_KNOWNHOSTS, argv[5]);
    ssh_options_set(session, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, "/dev/null");
    if (ssh_connect(session) != SSH_OK) return fail(session, "connect");
    if (ssh_session_is_known_server(session) != SSH_KNOWN_HOSTS_OK) {
        return fail(session, "host key not as known_hosts says");
    }
    ssh_key key = nullptr;
    if (ssh_pki_import_privkey_file(argv[4], nullptr, nullptr, nullptr, &key) != SSH_OK) {
        return fail(session, "key file");
    }
    const int auth = ssh_userauth_publickey(session, nullptr, key);
    ssh_key_free(key);
    if (auth != SSH_AUTH_SUCCESS) {
        return fail(session, "authentication");
    }
    ssh_channel channel = ssh_channel_new(session);
    if (channel == nullptr || ssh_channel_open_session(channel) != SSH_OK ||
        ssh_channel_request_exec(channel, "true") != SSH_OK) {
        return fail(session, "exec");
    }
    char buffer[4096];
    for (int stream = 0; stream < 2; ++stream) {
        while (ssh_channel_read(channel, buffer, sizeof buffer, stream) > 0) {
        }
    }
    const int status = ssh_channel_get_exit_status(channel);
    ssh_channel_send_eof(channel);
    ssh_channel_close(channel);
    ssh_channel_free(channel);
    ssh_disconnect(session);
    ssh_free(session);
    return status == 0 ? 0 : 1;
}
