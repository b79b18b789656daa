// PipeWireLink: the connection to the PipeWire daemon behind one published
// node (the camera's or the microphone's), on a loop thread of its own, that
// comes back by itself when the daemon goes away and starts again.
//
// Connect starts the loop's thread and connects; Publish has the node make
// its stream on the connection. From then on, when the connection breaks
// (the daemon was stopped or killed), the link takes the node's stream down
// and the connection with it on the loop thread, tries to connect again
// every second, and publishes the node again once the daemon answers. The
// service's threads never wait for any of it: they only take the loop's lock
// for as long as a call into PipeWire lasts, and find the node's stream gone
// while the daemon is away.
//
// Lines, each beginning with the node's owner (`who`, "PipeWire camera"):
//   info   "{who}: published as \"{description}\" ({node})"   (also again)
//   info   "{who}: no PipeWire daemon answers: {0}"
//   error  "{who}: no loop: {0}", "{who}: no context: {0}",
//          "{who}: the node could not be published: {0}"
//   error  "{who}: the daemon went away; trying again every second"
// The console fact of `topic` says the same while the daemon is away, and
// the node's own description once it is back.
//
// The node's Publish and Unpublish run with the loop's lock held, on the
// caller's thread for the first Publish and on the loop thread afterwards.
// Close joins the loop's thread; the destructor closes.
#pragma once

#include <spa/utils/hook.h>

#include <cstdint>
#include <string>

struct pw_core;
struct pw_context;
struct pw_thread_loop;
struct spa_source;

namespace talvik {

class PipeWireLink {
public:
    // What the link publishes.
    class Node {
    public:
        virtual ~Node() = default;
        // Makes and connects the node's stream on `core`: 0, or a negative
        // errno (what it made is then taken down by Unpublish).
        virtual int Publish(pw_core* core) = 0;
        // Takes down what Publish made; safe when it made nothing.
        virtual void Unpublish() = 0;
    };

    struct Naming {
        std::string who;         // "PipeWire camera"
        std::string node;        // "talvik-camera"
        std::string description; // "Vidrelo Camera"
        std::string topic;       // console topic, "camera"
        std::string fact;        // console line once published
    };

    PipeWireLink(Naming naming, Node& node);
    ~PipeWireLink();
    PipeWireLink(const PipeWireLink&) = delete;
    PipeWireLink& operator=(const PipeWireLink&) = delete;

    // Starts the loop's thread and connects: 0, or the system's error code.
    // Does nothing more once connected.
    int Connect();
    // Publishes the node once connected: 0, or the system's error code.
    int Publish();
    // Takes the node and the connection down and joins the loop's thread.
    void Close();

    // The loop whose lock guards the node's stream; null before Connect.
    pw_thread_loop* loop() const { return loop_; }

    // Internal: called on the loop thread.
    void OnCoreError(std::uint32_t id, int result);
    void OnRetry();

private:
    // On the loop thread, or with its lock held.
    bool ConnectCore();
    void TakeDown();

    Naming naming_;
    Node& node_;
    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    spa_source* retry_ = nullptr;
    spa_hook coreListener_{};
    bool published_ = false; // a lost connection is then made again
    bool lost_ = false;      // the connection broke; the node is down
};

} // namespace talvik
