#pragma once

// Every text the host shows, by key, with its English text (built in, and the fallback for
// any language that lacks a key). X(identifier, key name, English text); the identifier is the
// key name, with a trailing underscore where the name is a C++ keyword.

// clang-format off
#define KORVO_LOCALIZATION_KEYS(X) \
    /* Application title and sign-in screen */ \
    X(appTitle, "appTitle", "Korvo") \
    X(authTagline, "authTagline", "Connect to your Mac from iPhone") \
    X(continueWithApple, "continueWithApple", "Continue with Apple") \
    X(continueWithGoogle, "continueWithGoogle", "Continue with Google") \
    X(termsFooter, "termsFooter", "By continuing, you agree to our Terms & Privacy Policy.") \
    /* Sign-in and identity errors */ \
    X(googleSignInFailed, "googleSignInFailed", "Google sign-in failed: %@") \
    X(appleSignInFailed, "appleSignInFailed", "Apple sign-in failed: %@") \
    X(noWindowAvailableForSignIn, "noWindowAvailableForSignIn", "No window available for sign-in") \
    X(failedToBuildAuthorizationURL, "failedToBuildAuthorizationURL", "Failed to build authorization URL") \
    X(missingToken, "missingToken", "Missing %@") \
    X(noCallbackReceived, "noCallbackReceived", "No callback received") \
    X(noSignedInUser, "noSignedInUser", "No signed-in user") \
    X(unknownProvider, "unknownProvider", "Unknown provider: %@") \
    X(userNotAuthenticated, "userNotAuthenticated", "User not authenticated") \
    /* Backend errors */ \
    X(needToSignInFirst, "needToSignInFirst", "You need to sign in first.") \
    X(unableToResolveMacDeviceID, "unableToResolveMacDeviceID", "Unable to resolve this Mac's device ID.") \
    X(invalidServerResponse, "invalidServerResponse", "The server returned an invalid response.") \
    X(requestFailedWithStatus, "requestFailedWithStatus", "Request failed with status %@.") \
    /* Signalling errors */ \
    X(failedToParseMessage, "failedToParseMessage", "Failed to parse message") \
    X(registrationFailed, "registrationFailed", "Registration failed") \
    X(failedToSerializeMessage, "failedToSerializeMessage", "Failed to serialize message") \
    X(failedToSendMessage, "failedToSendMessage", "Failed to send message: %@") \
    /* Buttons shared by several screens */ \
    X(cancel, "cancel", "CANCEL") \
    X(create, "create", "CREATE") \
    X(delete_, "delete", "DELETE") \
    X(remove, "remove", "REMOVE") \
    X(retry, "retry", "RETRY") \
    X(tryAgain, "tryAgain", "TRY AGAIN") \
    X(register_, "register", "REGISTER") \
    X(disconnect, "disconnect", "DISCONNECT") \
    X(approve, "approve", "APPROVE") \
    X(deny, "deny", "DENY") \
    X(gotIt, "gotIt", "GOT IT") \
    /* Status words and fallbacks for missing names */ \
    X(connected, "connected", "Connected") \
    X(disconnected, "disconnected", "Disconnected") \
    X(loading, "loading", "LOADING...") \
    X(language, "language", "Language") \
    X(systemDefault, "systemDefault", "System Default") \
    X(unknown, "unknown", "Unknown") \
    X(unknownUser, "unknownUser", "Unknown User") \
    X(unknownMac, "unknownMac", "Unknown Mac") \
    X(unknownIPhone, "unknownIPhone", "Unknown iPhone") \
    /* Setup steps one to three */ \
    X(stepIndicator, "stepIndicator", "STEP %@ / 04") \
    X(systemIdentity, "systemIdentity", "System\nIdentity") \
    X(registerDescription, "registerDescription", "Register this Mac so only your account has access to it. We securely store your unique Apple device ID and tie it to your account, ensuring complete isolation and safety.") \
    X(registerThisMac, "registerThisMac", "REGISTER THIS MAC") \
    X(createMasterPassword, "createMasterPassword", "Create\nMaster Password") \
    X(enterMasterPasswordHint, "enterMasterPasswordHint", "Enter master password...") \
    X(confirmPassword, "confirmPassword", "CONFIRM PASSWORD") \
    X(networkConnection, "networkConnection", "Network\nConnection") \
    X(networkDescription, "networkDescription", "Connect to our secure signaling server. This allows your iPhone to discover this Mac and establish an encrypted peer-to-peer connection.") \
    /* Online state and its actions */ \
    X(offline, "offline", "OFFLINE") \
    X(connecting, "connecting", "CONNECTING...") \
    X(online, "online", "ONLINE") \
    X(error, "error", "ERROR") \
    X(continueButton, "continueButton", "CONTINUE") \
    X(goOnline, "goOnline", "GO ONLINE") \
    X(goOffline, "goOffline", "GO OFFLINE") \
    /* Setup step four */ \
    X(firstConnection, "firstConnection", "First\nConnection") \
    X(firstConnectionDescription, "firstConnectionDescription", "Open the Korvo app on your iPhone and connect to this Mac. You'll need to approve the connection here.") \
    X(waitingForIPhone, "waitingForIPhone", "WAITING FOR IPHONE...") \
    X(skipForNow, "skipForNow", "SKIP FOR NOW") \
    /* Bottom navigation bar */ \
    X(tabConnect, "tabConnect", "CONNECT") \
    X(tabTerminal, "tabTerminal", "TERMINAL") \
    X(tabDevices, "tabDevices", "DEVICES") \
    X(tabLogs, "tabLogs", "LOGS") \
    X(tabAccount, "tabAccount", "ACCOUNT") \
    /* Connection state titles */ \
    X(deviceConnectedTitle, "deviceConnectedTitle", "DEVICE\nCONNECTED") \
    X(macOfflineTitle, "macOfflineTitle", "MAC\nOFFLINE") \
    X(connectingTitle, "connectingTitle", "CONNECTING") \
    X(macOnlineTitle, "macOnlineTitle", "MAC\nONLINE") \
    X(connectionErrorTitle, "connectionErrorTitle", "CONNECTION\nERROR") \
    /* Connect tab */ \
    X(hostID, "hostID", "HOST ID") \
    X(screenRecording, "screenRecording", "SCREEN RECORDING") \
    X(accessibility, "accessibility", "ACCESSIBILITY") \
    X(keepMacAwake, "keepMacAwake", "KEEP MAC AWAKE") \
    X(keepMacAwakeDescription, "keepMacAwakeDescription", "Your Mac terminal remains accessible for connections even when locked.") \
    X(shortcutToLock, "shortcutToLock", "SHORTCUT TO LOCK") \
    X(deviceNotRegistered, "deviceNotRegistered", "DEVICE NOT REGISTERED") \
    X(thisMacIsNotRegistered, "thisMacIsNotRegistered", "THIS MAC IS NOT REGISTERED") \
    X(registerDeviceDescription, "registerDeviceDescription", "This Mac needs to be registered before it can go online. Register it now to start accepting connections from your iPhone.") \
    /* Permission rows */ \
    X(granted, "granted", "GRANTED") \
    X(notGranted, "notGranted", "NOT GRANTED") \
    X(grantPermission, "grantPermission", "GRANT PERMISSION") \
    X(openSystemSettings, "openSystemSettings", "OPEN SYSTEM SETTINGS") \
    X(recheck, "recheck", "RECHECK") \
    /* iPhone approval dialog */ \
    X(newDevice, "newDevice", "NEW DEVICE") \
    X(wantsToConnect, "wantsToConnect", "WANTS TO CONNECT") \
    X(approveDeviceDescription, "approveDeviceDescription", "This iPhone is requesting access to control your Mac. Only approve devices you trust.") \
    /* Terminal tab */ \
    X(terminalTitle, "terminalTitle", "Terminal") \
    X(newSessionButton, "newSessionButton", "+ SESSION") \
    X(noSessions, "noSessions", "NO SESSIONS") \
    X(noSessionsDescription, "noSessionsDescription", "Create a session or connect from an iPhone.") \
    X(nameYourSession, "nameYourSession", "NAME YOUR\nSESSION") \
    X(sessionNameHint, "sessionNameHint", "session-name") \
    X(attached, "attached", "ATTACHED") \
    X(pending, "pending", "PENDING") \
    X(dead, "dead", "DEAD") \
    X(detached, "detached", "DETACHED") \
    X(terminateSessionTitle, "terminateSessionTitle", "Terminate \"%@\"?") \
    X(terminate, "terminate", "Terminate") \
    X(terminateSessionDescription, "terminateSessionDescription", "This will kill the terminal session and its process.") \
    /* Devices tab */ \
    X(registeredDevices, "registeredDevices", "Registered Devices") \
    X(failedToLoad, "failedToLoad", "FAILED TO LOAD") \
    X(noDevices, "noDevices", "NO DEVICES") \
    X(noDevicesDescription, "noDevicesDescription", "Connect from an iPhone to register.") \
    X(approved, "approved", "APPROVED") \
    X(blocked, "blocked", "BLOCKED") \
    X(removeDeviceTitle, "removeDeviceTitle", "Remove %@?") \
    X(removeDeviceDescription, "removeDeviceDescription", "This will remove the iPhone from the approved device list.") \
    X(thisIPhone, "thisIPhone", "this iPhone") \
    /* Logs tab */ \
    X(connectionLog, "connectionLog", "Connection Log") \
    X(timeFilter, "timeFilter", "Time Filter") \
    X(last24h, "last24h", "LAST 24H") \
    X(last30d, "last30d", "LAST 30D") \
    X(deviceHeader, "deviceHeader", "DEVICE") \
    X(identityHeader, "identityHeader", "IDENTITY") \
    X(timestampUTCHeader, "timestampUTCHeader", "TIMESTAMP (UTC)") \
    X(noActivity, "noActivity", "NO ACTIVITY") \
    /* Account tab and its dialogs */ \
    X(accountSettings, "accountSettings", "Account Settings") \
    X(identity, "identity", "IDENTITY") \
    X(actions, "actions", "ACTIONS") \
    X(resetMasterPassword, "resetMasterPassword", "Reset Master Password") \
    X(contactSupport, "contactSupport", "Contact Support") \
    X(signOut, "signOut", "Sign Out") \
    X(deleteAccount, "deleteAccount", "Delete Account") \
    X(resetMasterPasswordTitle, "resetMasterPasswordTitle", "RESET MASTER PASSWORD") \
    X(securityReset, "securityReset", "SECURITY RESET") \
    X(resetMasterPasswordDescription, "resetMasterPasswordDescription", "This will reset your master password and remove all registered devices and iPhones. You will need to set up this Mac again.") \
    X(reset, "reset", "RESET") \
    X(deleteAccountTitle, "deleteAccountTitle", "DELETE ACCOUNT") \
    X(permanentDeletion, "permanentDeletion", "PERMANENT DELETION") \
    X(deleteAccountDescription, "deleteAccountDescription", "This will permanently delete your account and all associated data including devices, iPhones, and settings. This action cannot be undone.") \
    X(reauthRequired, "reauthRequired", "RE-AUTHENTICATION REQUIRED") \
    X(reauthDescription, "reauthDescription", "For security, please sign in again to confirm account deletion.") \
    X(signInWithApple, "signInWithApple", "SIGN IN WITH APPLE") \
    X(signInWithGoogle, "signInWithGoogle", "SIGN IN WITH GOOGLE") \
    /* Mandatory update screen */ \
    X(updateRequired, "updateRequired", "UPDATE REQUIRED") \
    X(updateRequiredDescription, "updateRequiredDescription", "A newer version of Korvo is available. You must update to continue using the app.") \
    X(currentVersion, "currentVersion", "Current Version") \
    X(latestVersion, "latestVersion", "Latest Version") \
    X(updateNow, "updateNow", "UPDATE NOW") \
    X(quitApp, "quitApp", "QUIT") \

// clang-format on
