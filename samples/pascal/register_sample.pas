{ One registration through the call handle of the register library, run on a
  worker thread while the main thread waits and may cancel.

    register_sample [--directory HOST:PORT[,HOST:PORT]] [--deadline MS]
                    [--cancel-after MS] [TEXT [SETTING [FLAG1 FLAG2 FLAG3]]]

  Without --directory the library takes REGISTER_DIRECTORY, then register.ini,
  then its built-in servers. Exit status: 0 exactly when the code is 0, 1 for
  any other code, 2 for a bad command line.

  Build: fpc -Fl<directory of libregister.so> register_sample.pas
  (on Windows the program loads register.dll when it starts; no import
  library is needed). }
program register_sample;

{$mode objfpc}{$H+}
{$MACRO ON}

{ The functions are __stdcall on 32-bit Windows. On 64-bit Windows Free Pascal
  treats stdcall as the platform's only convention, and on Linux the C
  convention is cdecl. }
{$IFDEF WINDOWS}
  {$DEFINE RegisterCall := stdcall}
{$ELSE}
  {$DEFINE RegisterCall := cdecl}
{$ENDIF}

uses
  {$IFDEF UNIX}
  cthreads, { must come first: it gives the run-time library its threads }
  {$ENDIF}
  Classes, SysUtils, SyncObjs;

const
  RegisterLibrary = 'register'; { register.dll, or -lregister: libregister.so }

  REGISTER_RESULT_SUCCESS = 0;
  REGISTER_OPTION_DEADLINE_MS = 4;
  REGISTER_OPTION_DIRECTORY = 101;
  REGISTER_SET_OK = 0;
  REGISTER_INFO_CODE = 1;
  REGISTER_INFO_REASON = 2;
  REGISTER_INFO_RESULT = 101;

type
  PRegisterCall = Pointer; { opaque }
  { The line is not zero-terminated: only length bytes belong to it. }
  TRegisterProgressCallback = function(context: Pointer; line: PAnsiChar;
    lineLength: Int32): Int32; RegisterCall;

{ The exported names carry no decoration, so each is declared by its own name. }
function DLL_RegisterCallCreate: PRegisterCall; RegisterCall; external RegisterLibrary;
procedure DLL_RegisterCallDestroy(call: PRegisterCall); RegisterCall; external RegisterLibrary;
function DLL_RegisterCallSetNumber(call: PRegisterCall; option, value: Int32): Int32;
  RegisterCall; external RegisterLibrary;
function DLL_RegisterCallSetText(call: PRegisterCall; option: Int32; value: PAnsiChar): Int32;
  RegisterCall; external RegisterLibrary;
function DLL_RegisterCallSetProgress(call: PRegisterCall; callback: TRegisterProgressCallback;
  context: Pointer): Int32; RegisterCall; external RegisterLibrary;
function DLL_RegisterCallRun(call: PRegisterCall; text: PAnsiChar;
  setting, flag1, flag2, flag3: Int32): Int32; RegisterCall; external RegisterLibrary;
procedure DLL_RegisterCallCancel(call: PRegisterCall); RegisterCall; external RegisterLibrary;
function DLL_RegisterCallGetNumber(call: PRegisterCall; info: Int32): Int32;
  RegisterCall; external RegisterLibrary;
function DLL_RegisterCallGetText(call: PRegisterCall; info: Int32; buffer: PAnsiChar;
  capacity: Int32): Int32; RegisterCall; external RegisterLibrary;
function DLL_RegisterResultText(code: Int32): PAnsiChar; RegisterCall; external RegisterLibrary;
function DLL_RegisterReasonText(reason: Int32): PAnsiChar; RegisterCall; external RegisterLibrary;
function DLL_RegisterVersion: PAnsiChar; RegisterCall; external RegisterLibrary;

type
  { Runs the blocking registration so that the main thread stays free to cancel. }
  TRegistrationThread = class(TThread)
  private
    FCall: PRegisterCall;
    FText: AnsiString;
    FSetting: Int32;
    FFlags: array[0..2] of Int32;
    FDone: TEvent;
  protected
    procedure Execute; override;
  public
    constructor Create(call: PRegisterCall; const registrationText: AnsiString;
      setting, flag1, flag2, flag3: Int32; done: TEvent);
  end;

constructor TRegistrationThread.Create(call: PRegisterCall; const registrationText: AnsiString;
  setting, flag1, flag2, flag3: Int32; done: TEvent);
begin
  FCall := call;
  FText := registrationText;
  FSetting := setting;
  FFlags[0] := flag1;
  FFlags[1] := flag2;
  FFlags[2] := flag3;
  FDone := done;
  inherited Create(False);
end;

procedure TRegistrationThread.Execute;
begin
  { The code is read from the handle afterwards, so nothing is passed back. }
  try
    DLL_RegisterCallRun(FCall, PAnsiChar(FText), FSetting, FFlags[0], FFlags[1], FFlags[2]);
  finally
    FDone.SetEvent;
  end;
end;

{ Called on the worker thread inside Run. An exception must not unwind into
  the library, so none leaves this function. }
function OnProgress(context: Pointer; line: PAnsiChar; lineLength: Int32): Int32; RegisterCall;
var
  lineText: AnsiString;
begin
  try
    SetString(lineText, line, lineLength);
    WriteLn('progress: ', lineText);
    Flush(Output); { each thread has its own Output buffer }
  except
  end;
  Result := 0; { non-zero would cancel the Run }
end;

{ The result string may hold zero bytes and needs no particular encoding. }
function Quoted(const bytes: AnsiString): AnsiString;
var
  i: Integer;
begin
  Result := '"';
  for i := 1 to Length(bytes) do
    if (bytes[i] >= #$20) and (bytes[i] < #$7F) and not (bytes[i] in ['"', '\']) then
      Result := Result + bytes[i]
    else
      Result := Result + '\x' + IntToHex(Ord(bytes[i]), 2);
  Result := Result + '"';
end;

procedure Usage;
begin
  WriteLn(StdErr, 'usage: register_sample [--directory HOST:PORT[,HOST:PORT]]');
  WriteLn(StdErr, '         [--deadline MS] [--cancel-after MS]');
  WriteLn(StdErr, '         [TEXT [SETTING [FLAG1 FLAG2 FLAG3]]]');
  Halt(2);
end;

var
  directory: AnsiString = '';
  hasDirectory: Boolean = False;
  deadline: Int32 = 30000;
  cancelAfter: Int32 = -1;
  registrationText: AnsiString = 'player@example.com';
  numbers: array[0..3] of Int32 = (3, 1, 0, 1); { setting, flag1, flag2, flag3 }
  first, i, reason, resultLength: Int32;
  call: PRegisterCall;
  done: TEvent;
  worker: TRegistrationThread;
  code: Int32;
  resultText: AnsiString;
begin
  first := 1;
  while (first < ParamCount) and (Copy(ParamStr(first), 1, 2) = '--') do
  begin
    if ParamStr(first) = '--directory' then
    begin
      directory := ParamStr(first + 1);
      hasDirectory := True;
    end
    else if ParamStr(first) = '--deadline' then
    begin
      if not TryStrToInt(ParamStr(first + 1), deadline) then
        Usage;
    end
    else if ParamStr(first) = '--cancel-after' then
    begin
      if not TryStrToInt(ParamStr(first + 1), cancelAfter) then
        Usage;
    end
    else
      Usage;
    Inc(first, 2);
  end;
  if (ParamCount - first + 1 > 5) or
    ((first <= ParamCount) and (Copy(ParamStr(first), 1, 2) = '--')) then
    Usage;
  if first <= ParamCount then
    registrationText := ParamStr(first);
  for i := 0 to 3 do
    if first + 1 + i <= ParamCount then
      if not TryStrToInt(ParamStr(first + 1 + i), numbers[i]) then
        Usage;

  WriteLn('library ', DLL_RegisterVersion);
  Flush(Output); { before the worker thread writes through its own buffer }
  call := DLL_RegisterCallCreate;
  if call = nil then
  begin
    WriteLn(StdErr, 'DLL_RegisterCallCreate: out of memory');
    Halt(1);
  end;
  try
    { The setters check at once, so a bad value is reported here, not by Run. }
    if hasDirectory and (DLL_RegisterCallSetText(call, REGISTER_OPTION_DIRECTORY,
      PAnsiChar(directory)) <> REGISTER_SET_OK) then
    begin
      WriteLn(StdErr, 'bad directory: ', directory);
      ExitCode := 2;
      Exit;
    end;
    if DLL_RegisterCallSetNumber(call, REGISTER_OPTION_DEADLINE_MS, deadline) <>
      REGISTER_SET_OK then
    begin
      WriteLn(StdErr, 'bad deadline: ', deadline);
      ExitCode := 2;
      Exit;
    end;
    DLL_RegisterCallSetProgress(call, @OnProgress, nil);

    done := TEvent.Create(nil, True, False, '');
    worker := TRegistrationThread.Create(call, registrationText, numbers[0], numbers[1], numbers[2],
      numbers[3], done);
    if (cancelAfter >= 0) and (done.WaitFor(cancelAfter) = wrTimeout) then
    begin
      WriteLn('cancelling after ', cancelAfter, ' ms');
      Flush(Output);
      DLL_RegisterCallCancel(call); { the one call safe from another thread }
    end;
    worker.WaitFor;
    worker.Free;
    done.Free;

    code := DLL_RegisterCallGetNumber(call, REGISTER_INFO_CODE);
    reason := DLL_RegisterCallGetNumber(call, REGISTER_INFO_REASON);
    WriteLn('code: ', code, ' (', DLL_RegisterResultText(code), ')');
    WriteLn('reason: ', reason, ' (', DLL_RegisterReasonText(reason), ')');
    { Ask for the length with no buffer, then copy; the extra byte takes the zero. }
    resultLength := DLL_RegisterCallGetText(call, REGISTER_INFO_RESULT, nil, 0);
    resultText := '';
    SetLength(resultText, resultLength + 1);
    DLL_RegisterCallGetText(call, REGISTER_INFO_RESULT, PAnsiChar(resultText), resultLength + 1);
    SetLength(resultText, resultLength);
    WriteLn('result: ', Quoted(resultText));
    if code = REGISTER_RESULT_SUCCESS then
      ExitCode := 0
    else
      ExitCode := 1;
  finally
    DLL_RegisterCallDestroy(call);
  end;
end.
