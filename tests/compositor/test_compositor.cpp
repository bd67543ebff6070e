// A Wayland compositor for tests: no screen, only outputs and the wlroots gamma-control
// manager. It writes what its clients do, one line each, on standard output:
//   ready <socket>            listening
//   control <i>               a client took output i's gamma
//   ramp <i> <size> <hex>     a client loaded tables (3 x size 16-bit entries, 4 hex digits each)
//   failed <i>                the control of output i was told it failed
//   destroyed <i>             output i's control is gone (destroyed, or its client left)
//   unsealed <i>              the tables came in a file its sender could still change
// and takes commands on standard input:
//   add <size>                a new output with that gamma size
//   remove <i>                output i leaves
//   fail <i>                  output i's control fails (another program took it)
// Options: --socket NAME (in XDG_RUNTIME_DIR), --sizes 256,1024 (one output each),
// --refuse i (output i answers every control with failed), --no-gamma (no manager).
#include "wlr-gamma-control-unstable-v1-server-protocol.h"
#include <wayland-server.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <set>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

struct Output {
    int index = 0;
    unsigned size = 256;
    wl_global* global = nullptr;
    wl_resource* control = nullptr;
    std::vector<wl_resource*> resources;
};

std::vector<std::unique_ptr<Output>> g_outputs;
std::set<int> g_refuse;
wl_display* g_display = nullptr;

void say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

Output* outputOf(wl_resource* outputResource) {
    for (auto& o : g_outputs)
        for (wl_resource* r : o->resources)
            if (r == outputResource) return o.get();
    return nullptr;
}

// ---- gamma control

void controlGone(wl_resource* resource) {
    auto* o = static_cast<Output*>(wl_resource_get_user_data(resource));
    if (!o) return;
    if (o->control == resource) o->control = nullptr;
    say("destroyed " + std::to_string(o->index));
}

void setGamma(wl_client*, wl_resource* resource, int32_t fd) {
    auto* o = static_cast<Output*>(wl_resource_get_user_data(resource));
    if (!o || o->control != resource) {
        close(fd);
        return;
    }
    const int seals = fcntl(fd, F_GET_SEALS);
    if (seals < 0 || !(seals & F_SEAL_WRITE) || !(seals & F_SEAL_SHRINK))
        say("unsealed " + std::to_string(o->index));
    const size_t bytes = size_t(o->size) * 3 * 2;
    std::vector<uint16_t> table(size_t(o->size) * 3);
    const ssize_t n = pread(fd, table.data(), bytes, 0);
    close(fd);
    if (n != static_cast<ssize_t>(bytes)) {
        wl_resource_post_error(resource, ZWLR_GAMMA_CONTROL_V1_ERROR_INVALID_GAMMA,
                               "tables of the wrong size");
        return;
    }
    std::string hex;
    hex.reserve(table.size() * 4);
    char buf[8];
    for (uint16_t v : table) {
        std::snprintf(buf, sizeof buf, "%04x", v);
        hex += buf;
    }
    say("ramp " + std::to_string(o->index) + " " + std::to_string(o->size) + " " + hex);
}

void controlDestroy(wl_client*, wl_resource* resource) {
    wl_resource_destroy(resource);
}

const struct zwlr_gamma_control_v1_interface kControl = {setGamma, controlDestroy};

void fail(Output& o) {
    wl_resource* c = o.control;
    if (!c) return;
    o.control = nullptr;
    wl_resource_set_user_data(c, nullptr);
    zwlr_gamma_control_v1_send_failed(c);
    say("failed " + std::to_string(o.index));
}

void getControl(wl_client* client, wl_resource* manager, uint32_t id, wl_resource* output) {
    wl_resource* c = wl_resource_create(client, &zwlr_gamma_control_v1_interface,
                                        wl_resource_get_version(manager), id);
    Output* o = outputOf(output);
    wl_resource_set_implementation(c, &kControl, nullptr, controlGone);
    if (!o) { // an output that has left: the control is inert
        zwlr_gamma_control_v1_send_failed(c);
        return;
    }
    if (o->control || g_refuse.count(o->index)) { // held, or no tables
        zwlr_gamma_control_v1_send_failed(c);
        say("failed " + std::to_string(o->index));
        return;
    }
    wl_resource_set_user_data(c, o);
    o->control = c;
    say("control " + std::to_string(o->index));
    zwlr_gamma_control_v1_send_gamma_size(c, o->size);
}

void managerDestroy(wl_client*, wl_resource* resource) {
    wl_resource_destroy(resource);
}

const struct zwlr_gamma_control_manager_v1_interface kManager = {getControl, managerDestroy};

void bindManager(wl_client* client, void*, uint32_t version, uint32_t id) {
    wl_resource* r = wl_resource_create(client, &zwlr_gamma_control_manager_v1_interface,
                                        static_cast<int>(version), id);
    wl_resource_set_implementation(r, &kManager, nullptr, nullptr);
}

// ---- outputs

void outputResourceGone(wl_resource* resource) {
    for (auto& o : g_outputs)
        std::erase(o->resources, resource);
}

void outputRelease(wl_client*, wl_resource* resource) {
    wl_resource_destroy(resource);
}

const struct wl_output_interface kOutput = {outputRelease};

void bindOutput(wl_client* client, void* data, uint32_t version, uint32_t id) {
    auto* o = static_cast<Output*>(data);
    wl_resource* r =
        wl_resource_create(client, &wl_output_interface, static_cast<int>(version), id);
    wl_resource_set_implementation(r, &kOutput, nullptr, outputResourceGone);
    o->resources.push_back(r);
    wl_output_send_geometry(r, 1024 * o->index, 0, 300, 200, WL_OUTPUT_SUBPIXEL_UNKNOWN, "Test",
                            "Output", WL_OUTPUT_TRANSFORM_NORMAL);
    wl_output_send_mode(r, WL_OUTPUT_MODE_CURRENT, 1024, 768, 60000);
    if (version >= WL_OUTPUT_SCALE_SINCE_VERSION) wl_output_send_scale(r, 1);
    if (version >= WL_OUTPUT_NAME_SINCE_VERSION)
        wl_output_send_name(r, ("TEST-" + std::to_string(o->index)).c_str());
    if (version >= WL_OUTPUT_DONE_SINCE_VERSION) wl_output_send_done(r);
}

void addOutput(unsigned size) {
    auto o = std::make_unique<Output>();
    o->index = static_cast<int>(g_outputs.size());
    o->size = size;
    o->global = wl_global_create(g_display, &wl_output_interface, 4, o.get(), bindOutput);
    g_outputs.push_back(std::move(o));
}

void removeOutput(Output& o) {
    if (!o.global) return;
    wl_global_destroy(o.global);
    o.global = nullptr;
    if (o.control) {
        wl_resource_set_user_data(o.control, nullptr);
        o.control = nullptr;
        say("destroyed " + std::to_string(o.index));
    }
    o.resources.clear();
}

int onInput(int fd, uint32_t, void*) {
    static std::string pending;
    char buf[256];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) {
        wl_display_terminate(g_display);
        return 0;
    }
    pending.append(buf, size_t(n));
    size_t eol;
    while ((eol = pending.find('\n')) != std::string::npos) {
        const std::string line = pending.substr(0, eol);
        pending.erase(0, eol + 1);
        char word[16] = {};
        int arg = 0;
        if (std::sscanf(line.c_str(), "%15s %d", word, &arg) != 2) continue;
        const std::string cmd = word;
        if (cmd == "add") {
            addOutput(unsigned(arg));
        } else if (arg >= 0 && arg < int(g_outputs.size())) {
            if (cmd == "remove") removeOutput(*g_outputs[size_t(arg)]);
            if (cmd == "fail") fail(*g_outputs[size_t(arg)]);
        }
        wl_display_flush_clients(g_display);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string socket = "kelvaro-test-0";
    std::string sizes = "256,256";
    bool gamma = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--socket" && i + 1 < argc)
            socket = argv[++i];
        else if (a == "--sizes" && i + 1 < argc)
            sizes = argv[++i];
        else if (a == "--refuse" && i + 1 < argc)
            g_refuse.insert(std::atoi(argv[++i]));
        else if (a == "--no-gamma")
            gamma = false;
    }
    g_display = wl_display_create();
    if (wl_display_add_socket(g_display, socket.c_str()) != 0) {
        std::perror("test compositor: socket");
        return 1;
    }
    for (size_t start = 0; start <= sizes.size();) {
        size_t comma = sizes.find(',', start);
        if (comma == std::string::npos) comma = sizes.size();
        if (comma > start) addOutput(unsigned(std::stoul(sizes.substr(start, comma - start))));
        start = comma + 1;
    }
    if (gamma)
        wl_global_create(g_display, &zwlr_gamma_control_manager_v1_interface, 1, nullptr,
                         bindManager);
    wl_event_loop_add_fd(wl_display_get_event_loop(g_display), STDIN_FILENO, WL_EVENT_READABLE,
                         onInput, nullptr);
    say("ready " + socket);
    wl_display_run(g_display);
    wl_display_destroy_clients(g_display);
    wl_display_destroy(g_display);
    return 0;
}
