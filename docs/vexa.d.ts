// TypeScript declarations of the VEXA page API: what the extension gives an
// <object type="application/chipcard_plugin_20"> element. See page-api.md.
//
//   const card = document.getElementById('card') as VexaObject;
//   if (typeof card.GetVersion !== 'function') { /* extension not installed */ }
//
// Every method returns a Promise. A method's own failure is an ordinary
// result (read GetLastErrorCode); the Promise rejects only when the call
// cannot be made: a TypeError for an argument that is not a string, number,
// boolean, null or undefined, an Error with the host's English text for a
// call the host refuses, an Error at once for a string that is not valid
// Unicode text (a lone surrogate) or a call over 1 MiB, and an Error when the
// host is gone ("the VEXA host is gone: <reason>") or not installed ("host
// not installed"). Every call settles.
//
// One method a line, in dispatch order, "number" for a signed 32-bit
// integer. The build writes both lists from the host's own tables into
// build/docs/, and a test holds these to them.

/** The 29 script methods. */
export interface VexaMethods {
  EncodeRequest(clientId: string, transactionId: string, functionId: number, processId: number, tlvString: string): Promise<string>;
  DecodeRequest(input: string): Promise<string>;
  ExecuteRequest(input: string, encoded: number, processId: number): Promise<string>;
  SearchCard(aid: string, aid2: string): Promise<string>;
  ReadLogFile(maxNumberOfBytes: number): Promise<string>;
  SetMode(parameter: string, value: string): Promise<number>;
  GetMode(parameter: string): Promise<string>;
  GetReaderList(): Promise<string>;
  GetCardATR(readerName: string): Promise<string>;
  ConnectCard(readerName: string, shareMode: number): Promise<number>;
  ConnectCardEx(readerName: string, shareMode: number, protocol: number, timeOut: number): Promise<number>;
  DisConnectCard(): Promise<number>;
  DisConnectCardEx(disposition: number): Promise<number>;
  GetLastErrorCode(): Promise<number>;
  GetErrorText(errorCode: number): Promise<string>;
  SendToCard(apdu: string): Promise<string>;
  SendIOCTL(ioctl: number, isRaw: number, apdu: string): Promise<string>;
  BeginTransaction(): Promise<number>;
  EndTransaction(): Promise<number>;
  EndTransactionEx(disposition: number): Promise<number>;
  GetCardStatus(readerName: string): Promise<number>;
  IsCardRemoved(): Promise<number>;
  GetVersion(versionSelector: number): Promise<string>;
  Reset(): Promise<number>;
  Hex2Str(input: string): Promise<string>;
  Str2Hex(input: string): Promise<string>;
  EnableEvents(eventIdentifier: string): Promise<number>;
  DisableEvents(): Promise<number>;
  Open(identifier: string): Promise<number>;
}

/** The seven card and reader events: their arguments, in order. */
export interface VexaEventArguments {
  OnCardReady: [readerName: string, atr: string, protocol: number, eventIdentifier: string];
  OnCardError: [readerName: string, eventIdentifier: string];
  OnCardRemoved: [readerName: string, eventIdentifier: string];
  OnReaderAdded: [readerName: string, eventIdentifier: string];
  OnReaderRemoved: [readerName: string, eventIdentifier: string];
  OnCardInuse: [readerName: string, shareMode: number, eventIdentifier: string];
  OnCardUnused: [readerName: string, eventIdentifier: string];
}

export type VexaEventName = keyof VexaEventArguments;

/** The element's own events: the seven with their arguments as detail, and two more. */
export type VexaEventMap = { [K in VexaEventName]: CustomEvent<VexaEventArguments[K]> } & {
  /** The element's host is up. */
  ready: CustomEvent<{ version: string; startMs: number }>;
  /**
   * The element's host is gone; its pending calls have rejected. The reason
   * "host not installed" comes once, and every later call rejects with it;
   * others are e.g. "too many VEXA objects in this tab" and "closed to make
   * room for a VEXA object in another tab".
   */
  disconnect: CustomEvent<{ reason: string }>;
};

/** An <object type="application/chipcard_plugin_20"> once the extension has adopted it. */
export interface VexaObject extends HTMLObjectElement, VexaMethods {
  /** Calls fn with the event's arguments; false for a name that is not one of the seven. */
  attachEvent<K extends VexaEventName>(name: K, fn: (this: VexaObject, ...args: VexaEventArguments[K]) => void): boolean;
  detachEvent<K extends VexaEventName>(name: K, fn: (this: VexaObject, ...args: VexaEventArguments[K]) => void): void;

  addEventListener<K extends keyof VexaEventMap>(
    type: K,
    listener: (this: VexaObject, event: VexaEventMap[K]) => unknown,
    options?: boolean | AddEventListenerOptions,
  ): void;
  addEventListener<K extends keyof HTMLElementEventMap>(
    type: K,
    listener: (this: HTMLObjectElement, event: HTMLElementEventMap[K]) => unknown,
    options?: boolean | AddEventListenerOptions,
  ): void;
  addEventListener(type: string, listener: EventListenerOrEventListenerObject, options?: boolean | AddEventListenerOptions): void;
  removeEventListener<K extends keyof VexaEventMap>(
    type: K,
    listener: (this: VexaObject, event: VexaEventMap[K]) => unknown,
    options?: boolean | EventListenerOptions,
  ): void;
  removeEventListener<K extends keyof HTMLElementEventMap>(
    type: K,
    listener: (this: HTMLObjectElement, event: HTMLElementEventMap[K]) => unknown,
    options?: boolean | EventListenerOptions,
  ): void;
  removeEventListener(type: string, listener: EventListenerOrEventListenerObject, options?: boolean | EventListenerOptions): void;
}
