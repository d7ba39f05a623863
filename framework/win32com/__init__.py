"""Linux stand-in for the Windows COM package; see win32com.client."""
