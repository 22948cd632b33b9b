// The certificate selection dialog (to come).
