// Placeholder until the module lands.
namespace tarnwick {}
