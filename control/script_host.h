#pragma once

namespace vexa {

// What the dispatcher needs from whoever hosts the plug-in (the shell, the
// browser host).
class ScriptHost {
public:
    virtual ~ScriptHost() = default;

    // Runs the host's start-up load again; called by Reset after the plug-in
    // was reset, so the configuration is read and the log reopened.
    virtual void restartPlugin() = 0;
};

} // namespace vexa
