#pragma once
// The menu-bar application's start: the shared application object, the one delegate, the
// launch sequence and the main run loop.
namespace quorvel {

class AppDelegate;

// Runs the application until it terminates; answers the run loop's status.
int startApplication();

// The delegate made by startApplication (null before it ran).
AppDelegate* applicationDelegate();

}  // namespace quorvel
