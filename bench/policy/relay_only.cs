// relay_only.cs - bench/policy's baseline: the gateway relays every session
// to the mail server and checks nothing.

CS_ANTISPAM_SCRIPT cs = new CS_ANTISPAM_SCRIPT($_this);

int OnStartClientConnection(int id) {
  cs.RegisterSessionIp(cs.GetClientIP());
  if (!cs.ConnectToDefaultMTA()) {
    cs.SendToClient("421 4.3.0 Mail server temporarily unavailable, try again later\r\n");
    cs.CloseClientConnAfterSendingQueue();
  }
  return 0;
}
